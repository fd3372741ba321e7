// execute_sql_query end to end on a warm engine, beside a minimal libpq program running
// the same capped query over one connection; and the connections a second call on a
// cached engine opens.
//
//   eval "$(scripts/pg_test_server.sh start)"
//   build/bench/sql_tool_bench
//   scripts/pg_test_server.sh stop
//
// The tool's path per call: the configuration look-up (the local store's file, checked
// for changes), the row-cap rewrite, a pooled connection (pre-ping), BEGIN READ ONLY +
// the statement + ROLLBACK in one pipeline (one round trip), 50 typed rows to JSON text. The minimal program: PQexec of
// the already capped text on one open connection, every value read once. Printed at the
// end: the median per-call time of both and their ratio (target: at most 1.15), for each
// workload, and the time of the read-only pipeline alone in raw libpq (what one call
// costs at the protocol level before any of the tool's own work).
#include <benchmark/benchmark.h>
#include <libpq-fe.h>

#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/pg_warehouse.h"
#include "velko/base/json.h"
#include "velko/middleware/analyst/tools.h"
#include "velko/platform/config/local_config.h"
#include "velko/platform/warehouse/warehouse.h"

namespace {

using velko::Json;

// What the model sends, and the text the tool turns it into. "scan": fifty rows of one
// table, the least work a capped query can be, so the tool's own cost shows most. "revenue":
// a question an analyst asks (top customers by revenue over three joined tables).
struct Workload {
  const char* query;
  const char* capped;
};
constexpr Workload SCAN = {"SELECT * FROM orders ORDER BY id", "SELECT * FROM orders ORDER BY id LIMIT 50"};
constexpr Workload IDS = {"SELECT id FROM orders ORDER BY id", "SELECT id FROM orders ORDER BY id LIMIT 50"};
constexpr Workload REVENUE = {
    "SELECT c.id, c.name, c.country, count(DISTINCT o.id) AS orders, sum(i.quantity * i.unit_price) AS revenue "
    "FROM customers c JOIN orders o ON o.customer_id = c.id JOIN order_items i ON i.order_id = o.id "
    "GROUP BY c.id, c.name, c.country ORDER BY revenue DESC",
    "SELECT c.id, c.name, c.country, count(DISTINCT o.id) AS orders, sum(i.quantity * i.unit_price) AS revenue "
    "FROM customers c JOIN orders o ON o.customer_id = c.id JOIN order_items i ON i.order_id = o.id "
    "GROUP BY c.id, c.name, c.country ORDER BY revenue DESC LIMIT 50"};

struct World {
  std::optional<velko::testing::PgServer> server;
  std::unique_ptr<velko::testing::TempHome> home;
};

World& world() {
  static World* instance = [] {
    auto* built = new World();
    built->server = velko::testing::PgServer::from_env();
    if (built->server) {
      built->home = std::make_unique<velko::testing::TempHome>();
      velko::platform::config::LocalConfigStore().add_connection("bench", built->server->database_config(), true);
      // A user's configuration was written long before: let the file settle, as the store
      // parses a file changed in the last two seconds again at every read.
      std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    }
    return built;
  }();
  return *instance;
}

std::string libpq_conninfo(const velko::testing::PgServer& server) {
  velko::platform::sql::Url url = server.parsed();
  return "host=" + url.host.value_or("127.0.0.1") + " port=" + std::to_string(url.port.value_or(5432)) +
         " user=" + url.username.value_or("") + " password='" + url.password.value_or("") +
         "' dbname=" + url.database.value_or("");
}

void BM_ExecuteSqlQueryTool(benchmark::State& state, Workload workload) {
  if (!world().server) {
    state.SkipWithError("VELKO_TEST_PG_URL is not set (eval \"$(scripts/pg_test_server.sh start)\")");
    return;
  }
  velko::host::Tool tool = velko::middleware::analyst::_execute_sql_query_tool_generator("cli");
  velko::host::ToolRuntime runtime;
  const Json args = {{"query", workload.query}};
  Json warm = velko::base::loads(tool.invoke(args, runtime));  // opens the pooled connection
  if (!warm.contains("rows") || warm["rows"].size() != 50) {   // both workloads have more than 50 rows
    state.SkipWithError("the warm-up call did not return 50 rows");
    return;
  }
  size_t bytes = 0;
  for (auto _ : state) {
    std::string answer = tool.invoke(args, runtime);
    bytes += answer.size();
    benchmark::DoNotOptimize(answer);
  }
  state.counters["answer_bytes"] = static_cast<double>(bytes) / static_cast<double>(state.iterations());
  state.counters["connections_opened"] =
      static_cast<double>(velko::platform::warehouse::get_db_engine(std::nullopt, "cli")->stats().opened);
}

void BM_MinimalLibpq(benchmark::State& state, Workload workload) {
  if (!world().server) {
    state.SkipWithError("VELKO_TEST_PG_URL is not set (eval \"$(scripts/pg_test_server.sh start)\")");
    return;
  }
  std::unique_ptr<PGconn, decltype(&PQfinish)> conn(PQconnectdb(libpq_conninfo(*world().server).c_str()), &PQfinish);
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    state.SkipWithError("libpq could not connect");
    return;
  }
  for (auto _ : state) {
    PGresult* result = PQexec(conn.get(), workload.capped);
    size_t touched = 0;
    for (int row = 0; row < PQntuples(result); ++row) {
      for (int column = 0; column < PQnfields(result); ++column) touched += PQgetlength(result, row, column);
    }
    benchmark::DoNotOptimize(touched);
    PQclear(result);
  }
}

// What the tool's safety costs at the protocol level, without the tool: the same capped
// text as one pipeline of BEGIN READ ONLY, the statement through the extended query
// protocol (which refuses several statements) and ROLLBACK, on one connection.
void BM_LibpqReadOnlyPipeline(benchmark::State& state, Workload workload) {
  if (!world().server) {
    state.SkipWithError("VELKO_TEST_PG_URL is not set (eval \"$(scripts/pg_test_server.sh start)\")");
    return;
  }
  std::unique_ptr<PGconn, decltype(&PQfinish)> conn(PQconnectdb(libpq_conninfo(*world().server).c_str()), &PQfinish);
  if (PQstatus(conn.get()) != CONNECTION_OK || PQenterPipelineMode(conn.get()) != 1) {
    state.SkipWithError("libpq could not connect in pipeline mode");
    return;
  }
  for (auto _ : state) {
    for (const char* text : {"BEGIN READ ONLY", workload.capped, "ROLLBACK"}) {
      PQsendQueryParams(conn.get(), text, 0, nullptr, nullptr, nullptr, nullptr, 0);
    }
    PQpipelineSync(conn.get());
    size_t touched = 0;
    while (true) {
      PGresult* result = PQgetResult(conn.get());
      if (result == nullptr) continue;  // the end of one statement's results
      const ExecStatusType status = PQresultStatus(result);
      for (int row = 0; row < PQntuples(result); ++row) {
        for (int column = 0; column < PQnfields(result); ++column) touched += PQgetlength(result, row, column);
      }
      PQclear(result);
      if (status == PGRES_PIPELINE_SYNC) break;
      if (status == PGRES_FATAL_ERROR) {
        state.SkipWithError("the statement failed");
        break;
      }
    }
    benchmark::DoNotOptimize(touched);
  }
}

// A fresh engine: the first call opens one connection, the second opens none.
void BM_SecondCallOnCachedEngine(benchmark::State& state) {
  if (!world().server) {
    state.SkipWithError("VELKO_TEST_PG_URL is not set (eval \"$(scripts/pg_test_server.sh start)\")");
    return;
  }
  velko::host::Tool tool = velko::middleware::analyst::_execute_sql_query_tool_generator("cli");
  velko::host::ToolRuntime runtime;
  const Json backends = {{"query",
                          "SELECT count(*) FROM pg_stat_activity WHERE application_name = 'velko' AND "
                          "datname = current_database()"}};
  double after_first = 0, after_second = 0, server_backends = 0;
  for (auto _ : state) {
    state.PauseTiming();
    velko::platform::warehouse::clear_engine_cache();
    state.ResumeTiming();
    tool.invoke({{"query", SCAN.query}}, runtime);
    after_first = static_cast<double>(velko::platform::warehouse::get_db_engine(std::nullopt, "cli")->stats().opened);
    std::string answer = tool.invoke(backends, runtime);
    after_second = static_cast<double>(velko::platform::warehouse::get_db_engine(std::nullopt, "cli")->stats().opened);
    state.PauseTiming();
    server_backends = velko::base::loads(answer)["rows"][0][0].get<double>();
    state.ResumeTiming();
  }
  state.counters["opened_after_first"] = after_first;
  state.counters["opened_after_second"] = after_second;
  state.counters["velko_backends_on_server"] = server_backends;
}

BENCHMARK_CAPTURE(BM_ExecuteSqlQueryTool, scan, SCAN)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MinTime(1.0)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(BM_MinimalLibpq, scan, SCAN)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MinTime(1.0)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(BM_ExecuteSqlQueryTool, ids, IDS)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MinTime(1.0)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(BM_MinimalLibpq, ids, IDS)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MinTime(1.0)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(BM_ExecuteSqlQueryTool, revenue, REVENUE)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MinTime(1.0)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(BM_MinimalLibpq, revenue, REVENUE)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MinTime(1.0)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(BM_LibpqReadOnlyPipeline, scan, SCAN)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MinTime(1.0)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(BM_LibpqReadOnlyPipeline, ids, IDS)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MinTime(1.0)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(BM_LibpqReadOnlyPipeline, revenue, REVENUE)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MinTime(1.0)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_SecondCallOnCachedEngine)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(20);

// Keeps the median real time of every benchmark, to print the ratio at the end.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      if (run.aggregate_name == "median") medians_[run.run_name.function_name] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::optional<double> median(const std::string& name) const {
    auto found = medians_.find(name);
    return found == medians_.end() ? std::nullopt : std::optional<double>(found->second);
  }

 private:
  std::map<std::string, double> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  // Repetitions of the tool and of the minimal program interleaved, so a change of the
  // machine's load during the run weighs on both alike (a flag given on the command line
  // still wins).
  std::vector<char*> args(argv, argv + argc);
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave);
  argc = static_cast<int>(args.size());
  argv = args.data();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const char* workload : {"scan", "ids", "revenue"}) {
    auto tool = reporter.median(std::string("BM_ExecuteSqlQueryTool/") + workload);
    auto minimal = reporter.median(std::string("BM_MinimalLibpq/") + workload);
    auto pipeline = reporter.median(std::string("BM_LibpqReadOnlyPipeline/") + workload);
    if (tool && minimal && *minimal > 0) {
      std::printf(
          "%-8s median per call: execute_sql_query %.1f us, minimal libpq %.1f us, ratio %.3f "
          "(target <= 1.15)",
          workload, *tool, *minimal, *tool / *minimal);
      if (pipeline) {
        std::printf("; read-only pipeline alone %.1f us (%.3f of minimal)", *pipeline, *pipeline / *minimal);
      }
      std::printf("\n");
    }
  }
  benchmark::Shutdown();
  return 0;
}
