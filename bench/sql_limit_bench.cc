// Throughput of add_limit_to_query over the whole SQL corpus of tests/data/sql-corpus
// (3,146 statements of PostgreSQL, Snowflake and Databricks SQL, limit 1000), reported
// as statements/s (items_per_second) and bytes/s. The corpus is found through
// $VELKO_SOURCE_DIR, else relative to this file.
//
// bench/sqlglot_speed.py times sqlglot on the same records with the same transform.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "velko/platform/db_utils/sql_limit.h"
#include "velko/platform/sql_lexer/sql_lexer.h"

namespace {

using velko::platform::db_utils::add_limit_to_query;
using velko::platform::sql_lexer::lex_sql;
using velko::platform::sql_lexer::parse_sql_dialect;
using velko::platform::sql_lexer::Token;

struct Statement {
  std::string dialect_name;  // as the corpus writes it
  velko::platform::sql_lexer::SqlDialect dialect;
  std::string sql;
};

std::string source_dir() {
  if (const char* env = std::getenv("VELKO_SOURCE_DIR"); env != nullptr && *env != '\0') {
    return env;
  }
  // This file is <source>/bench/sql_limit_bench.cc.
  const std::string here = __FILE__;
  const std::string dir = here.substr(0, here.rfind("bench/"));
  return dir.empty() ? "." : dir;
}

const std::vector<Statement>& corpus() {
  static const std::vector<Statement> statements = [] {
    std::vector<Statement> loaded;
    std::ifstream file(source_dir() + "/tests/data/sql-corpus/corpus.jsonl");
    for (std::string line; std::getline(file, line);) {
      if (line.empty()) continue;
      const nlohmann::json row = nlohmann::json::parse(line);
      const std::string name = row.at("dialect").get<std::string>();
      loaded.push_back({name, parse_sql_dialect(name), row.at("sql").get<std::string>()});
    }
    return loaded;
  }();
  return statements;
}

// The statements of one dialect, or all of them for an empty name.
std::vector<Statement> select(const std::string& dialect) {
  std::vector<Statement> chosen;
  for (const Statement& statement : corpus()) {
    if (dialect.empty() || statement.dialect_name == dialect) chosen.push_back(statement);
  }
  return chosen;
}

void run_corpus(benchmark::State& state, const std::vector<Statement>& statements) {
  if (statements.empty()) {
    state.SkipWithError("corpus not found; set VELKO_SOURCE_DIR");
    return;
  }
  std::int64_t bytes = 0;
  for (const Statement& statement : statements) bytes += static_cast<std::int64_t>(statement.sql.size());
  for (auto _ : state) {
    for (const Statement& statement : statements) {
      std::string capped = add_limit_to_query(statement.sql, 1000, statement.dialect);
      benchmark::DoNotOptimize(capped);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(statements.size()));
  state.SetBytesProcessed(state.iterations() * bytes);
  state.counters["statements"] = static_cast<double>(statements.size());
}

void BM_AddLimitCorpus(benchmark::State& state) { run_corpus(state, select("")); }
BENCHMARK(BM_AddLimitCorpus)->Unit(benchmark::kMillisecond);

void BM_AddLimitPostgres(benchmark::State& state) { run_corpus(state, select("postgres")); }
BENCHMARK(BM_AddLimitPostgres)->Unit(benchmark::kMillisecond);

void BM_AddLimitSnowflake(benchmark::State& state) { run_corpus(state, select("snowflake")); }
BENCHMARK(BM_AddLimitSnowflake)->Unit(benchmark::kMillisecond);

void BM_AddLimitDatabricks(benchmark::State& state) { run_corpus(state, select("databricks")); }
BENCHMARK(BM_AddLimitDatabricks)->Unit(benchmark::kMillisecond);

// The lexer alone, to show what share of the time the structural reading takes.
void BM_LexCorpus(benchmark::State& state) {
  const std::vector<Statement>& statements = corpus();
  if (statements.empty()) {
    state.SkipWithError("corpus not found; set VELKO_SOURCE_DIR");
    return;
  }
  std::int64_t bytes = 0;
  for (const Statement& statement : statements) bytes += static_cast<std::int64_t>(statement.sql.size());
  std::vector<Token> tokens;
  for (auto _ : state) {
    for (const Statement& statement : statements) {
      benchmark::DoNotOptimize(lex_sql(statement.sql, statement.dialect, tokens));
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(statements.size()));
  state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK(BM_LexCorpus)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
