// Engine factories and remote drivers: the cost of a cached engine, of a miss that
// evicts, and of reading ClickHouse rows (whole results, and capped ones, where only the
// first rows are converted).
#include <benchmark/benchmark.h>

#include <string>

#include "velko/databases/clickhouse/clickhouse_engine.h"
#include "velko/platform/sql_remote/clickhouse_driver.h"

namespace {

using velko::databases::clickhouse::ClickhouseEngineArgs;
using velko::databases::clickhouse::create_clickhouse_engine;

ClickhouseEngineArgs args_for(int idx) {
  return {"analyst", "secret-" + std::to_string(idx), "ch.example.com", "8443", "sales", true};
}

// The same arguments every time: the cache hands out the engine it holds.
void BM_EngineCacheHit(benchmark::State& state) {
  velko::databases::clickhouse::clear_engine_cache();
  ClickhouseEngineArgs args = args_for(0);
  create_clickhouse_engine(args);
  for (auto _ : state) benchmark::DoNotOptimize(create_clickhouse_engine(args));
}
BENCHMARK(BM_EngineCacheHit)->ThreadRange(1, 2);

// 300 argument sets in turn through a cache of 256: every call misses, builds the URL,
// creates an engine and evicts the least recently used one.
void BM_EngineCacheMissAndEvict(benchmark::State& state) {
  velko::databases::clickhouse::clear_engine_cache();
  std::vector<ClickhouseEngineArgs> all;
  for (int idx = 0; idx < 300; ++idx) all.push_back(args_for(idx));
  size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(create_clickhouse_engine(all[next]));
    next = (next + 1) % all.size();
  }
}
BENCHMARK(BM_EngineCacheMissAndEvict);

std::string clickhouse_body(int rows) {
  std::string body =
      "[\"id\",\"name\",\"amount\",\"created\",\"tags\"]\n"
      "[\"UInt64\",\"String\",\"Decimal(12, 2)\",\"DateTime64(3)\",\"Array(LowCardinality(String))\"]\n";
  for (int idx = 0; idx < rows; ++idx) {
    body += "[" + std::to_string(idx) + ",\"customer " + std::to_string(idx) + "\",\"" + std::to_string(idx % 1000) +
            ".25\",\"2024-01-15 10:30:00.123\",[\"a\",\"b\"]]\n";
  }
  return body;
}

// Rows per second for a whole result (cap 0) and a capped one (cap 50) of state.range(0) rows.
void BM_ClickhouseParseRows(benchmark::State& state) {
  std::string body = clickhouse_body(static_cast<int>(state.range(0)));
  size_t cap = static_cast<size_t>(state.range(1));
  for (auto _ : state) benchmark::DoNotOptimize(velko::platform::sql_remote::parse_clickhouse_rows(body, cap));
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(body.size()));
}
BENCHMARK(BM_ClickhouseParseRows)->Args({10000, 0})->Args({10000, 50});

}  // namespace

BENCHMARK_MAIN();
