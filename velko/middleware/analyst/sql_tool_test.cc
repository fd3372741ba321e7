// execute_sql_query on the embedded SQLite warehouse, in cli mode through the local
// store and in web mode through the hosted back end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <thread>

#include "tests/support/pg_warehouse.h"
#include "velko/base/cancel.h"
#include "velko/base/env.h"
#include "velko/base/json.h"
#include "velko/base/utf8.h"
#include "velko/middleware/analyst/tools.h"
#include "velko/platform/config/local_config.h"
#include "velko/platform/db_utils/sql_limit.h"
#include "velko/platform/services/hosted_services.h"
#include "velko/platform/warehouse/warehouse.h"

namespace velko::middleware::analyst {
namespace {

constexpr const char* kProductCount = R"JSON({"headers": ["count(*)"], "rows": [[200]]})JSON";

host::ToolRuntime runtime_of(const Json& state) {
  host::ToolRuntime runtime;
  runtime.state = state;
  return runtime;
}

class SqlToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::warehouse::clear_engine_cache();
    warehouse_ = home_.path() / "warehouse.db";
    testing::make_sqlite_warehouse(warehouse_);
  }
  void TearDown() override { platform::warehouse::clear_engine_cache(); }

  void add_shop() {
    platform::config::LocalConfigStore().add_connection("shop", {{"type", "SQLITE"}, {"database", warehouse_.string()}},
                                                        true);
  }
  std::string run(const std::string& query, const Json& state = Json::object(), const std::string& mode = "cli") {
    return _execute_sql_query_tool_generator(mode).invoke({{"query", query}}, runtime_of(state));
  }
  // Every statement text that reaches the database from now on.
  std::shared_ptr<std::vector<std::string>> watch_statements() {
    auto seen = std::make_shared<std::vector<std::string>>();
    platform::warehouse::get_db_engine(std::nullopt, "cli")->add_statement_listener([seen](std::string_view statement) {
      seen->emplace_back(statement);
    });
    return seen;
  }

  testing::TempHome home_;
  std::filesystem::path warehouse_;
};

TEST_F(SqlToolTest, DescribesItselfExactly) {
  host::Tool tool = _execute_sql_query_tool_generator();
  EXPECT_EQ(tool.name(), "execute_sql_query");
  EXPECT_EQ(tool.description(),
            "Execute a SQL query against the connected database. Returns the query results as a list of rows (max 100 "
            "rows). IMPORTANT: Results are automatically displayed to the user as a formatted table. Do NOT repeat "
            "the data in your response - just provide insights or analysis.");
  EXPECT_EQ(tool.input_schema(),
            Json::parse(R"({"type": "object", "properties": {"query": {"type": "string"}}, "required": ["query"]})"));
}

TEST_F(SqlToolTest, AnswersHeadersAndRowsAsJsonText) {
  add_shop();
  EXPECT_EQ(run("SELECT 1 AS id, 'Alice' AS name UNION ALL SELECT 2, 'Bob'"),
            R"({"headers": ["id", "name"], "rows": [[1, "Alice"], [2, "Bob"]]})");
  EXPECT_EQ(run("SELECT name, lifetime_value, signup_date FROM customers WHERE id IN (10, 11) ORDER BY id"),
            R"({"headers": ["name", "lifetime_value", "signup_date"], )"
            R"("rows": [["Customer 10", 375.25, "2020-03-11"], ["Customer 11", null, "2020-03-18"]]})");
  EXPECT_EQ(run("SELECT k_text FROM value_kinds WHERE id = 2"), R"({"headers": ["k_text"], "rows": [["bad-\ufffd"]]})");
}

TEST_F(SqlToolTest, CapsTheStatementAtFiftyRows) {
  add_shop();
  auto seen = watch_statements();
  Json answer = base::loads(run("  SELECT id FROM orders ORDER BY id;; \n"));
  EXPECT_EQ(answer["rows"].size(), 50u);
  EXPECT_EQ(answer["rows"].back(), Json::array({50}));
  ASSERT_EQ(seen->size(), 1u);
  EXPECT_EQ(seen->front(), "SELECT id FROM orders ORDER BY id LIMIT 50");
  EXPECT_EQ(base::loads(run("SELECT id FROM orders LIMIT 500"))["rows"].size(), 50u);
  EXPECT_EQ(seen->back(), "SELECT id FROM orders LIMIT 50");
  EXPECT_EQ(base::loads(run("SELECT id FROM orders LIMIT 7"))["rows"].size(), 7u);
}

TEST_F(SqlToolTest, NeverHoldsMoreThanFiftyRowsEvenWhenTheTextCannotBeCapped) {
  add_shop();
  // EXPLAIN is not a query the rewrite caps, and its program here is longer than 50 rows.
  const std::string query =
      "EXPLAIN SELECT * FROM orders o JOIN customers c ON c.id = o.customer_id "
      "JOIN order_items i ON i.order_id = o.id ORDER BY o.total";
  ASSERT_EQ(platform::db_utils::add_limit_to_query(query, 50, platform::sql_lexer::SqlDialect::kPostgres), query);
  auto engine = platform::warehouse::get_db_engine(std::nullopt, "cli");
  ASSERT_GT(engine->connect().execute(query).fetchall().size(), 50u);
  Json answer = base::loads(run(query));
  EXPECT_EQ(answer["rows"].size(), 50u);
  EXPECT_EQ(answer["headers"][0], "addr");
}

TEST_F(SqlToolTest, MissingConnectionsAnswerBeforeAnythingIsAsked) {
  auto services =
      std::make_shared<platform::services::InMemoryServices>(Json::object(), Json::object(), Json::object());
  platform::services::ScopedHostedServices scope(services);
  EXPECT_EQ(run("SELECT 1", Json::object(), "web"), "Error: No database connection configured");
  EXPECT_EQ(run("SELECT 1", {{"connection_id", ""}}, "web"), "Error: No database connection configured");
  EXPECT_EQ(services->calls("get_database_config"), 0);
  EXPECT_EQ(run("SELECT 1", {{"connection_id", "unknown"}}, "web"),
            "Error: No database connection configured. Use /database to select one.");
  EXPECT_EQ(run("SELECT 1"), "Error: No database connection configured. Use /database to select one.");
  EXPECT_EQ(platform::warehouse::engine_cache_size(), 0u);  // no engine was requested
}

TEST_F(SqlToolTest, WebModeUsesTheBackEndsConfiguration) {
  auto services = std::make_shared<platform::services::InMemoryServices>(
      Json{{"db-1", {{"type", "SQLITE"}, {"database", warehouse_.string()}}},
           {"bq", {{"type", "BIGQUERY"}, {"host", "project"}}},
           {"untyped", {{"database", "x"}}}},
      Json::object(), Json::object());
  platform::services::ScopedHostedServices scope(services);
  EXPECT_EQ(run("SELECT count(*) AS n FROM products", {{"connection_id", "db-1"}}, "web"),
            R"({"headers": ["n"], "rows": [[200]]})");
  // Types without a dialect of their own are capped as postgres and reach their driver.
  EXPECT_EQ(run("SELECT 1", {{"connection_id", "bq"}}, "web"),
            "Error executing query: The BigQuery connection holds no service-account key (--keyfile, or the key JSON "
            "as the password)");
  EXPECT_EQ(run("SELECT 1", {{"connection_id", "untyped"}}, "web"), "Error executing query: 'type'");
}

TEST_F(SqlToolTest, FailuresComeBackAsErrorText) {
  add_shop();
  const std::string customers = testing::sqlite_scalar(warehouse_, "SELECT count(*) FROM customers");
  struct Case {
    std::string query;
    std::string expected;
  };
  for (const auto& [query, expected] : std::vector<Case>{
           {"DELETE FROM customers", "Error executing query: attempt to write a readonly database"},
           {"SELECT 1; DELETE FROM customers", "Error executing query: You can only execute one statement at a time."},
           {"COMMIT; DROP TABLE customers", "Error executing query: You can only execute one statement at a time."},
           {"COMMIT",
            "Error executing query: This result object does not return rows. It has been closed "
            "automatically."},
           {"", "Error executing query: can't execute an empty query"},
           {" ;; ", "Error executing query: can't execute an empty query"},
           {std::string("SELECT 1\0; DELETE FROM customers", 32),
            "Error executing query: SQL text cannot contain NUL (0x00) bytes"},
           {"SELECT * FROM nowhere", "Error executing query: no such table: nowhere"},
       }) {
    EXPECT_EQ(run(query), expected) << query;
  }
  EXPECT_EQ(testing::sqlite_scalar(warehouse_, "SELECT count(*) FROM customers"), customers);
  // Invalid UTF-8 echoed in a database message never makes the text invalid.
  std::string text = run("SELEC\xff 1");
  EXPECT_TRUE(text.starts_with("Error executing query: ")) << text;
  EXPECT_TRUE(base::is_valid_utf8(text));
  // Up to a megabyte of SQL is answered like any other statement; a byte more is refused
  // before it is read.
  const std::string frame = "SELECT length('') AS n";
  const size_t fill = (size_t{1} << 20) - frame.size();
  Json big = base::loads(run("SELECT length('" + std::string(fill, 'x') + "') AS n"));
  EXPECT_EQ(big["rows"], Json::array({Json::array({fill})}));
  auto seen = watch_statements();
  EXPECT_EQ(run("SELECT length('" + std::string(fill + 1, 'x') + "') AS n"),
            "Error executing query: the query text is 1048577 bytes long; at most 1048576 bytes (1 MiB) are accepted");
  EXPECT_TRUE(seen->empty());
}

// A runaway statement ends at the connection's query_timeout (VELKO_QUERY_TIMEOUT
// overrides it), a cancelled call ends at once, and the pooled connection serves the
// next call either way.
TEST_F(SqlToolTest, RunawayQueriesEndAtTheirTimeLimitOrWhenCancelled) {
  platform::config::LocalConfigStore().add_connection(
      "shop", {{"type", "SQLITE"}, {"database", warehouse_.string()}, {"query_timeout", 1}}, true);
  const std::string runaway = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) FROM c";
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(run(runaway), "Error executing query: Query timed out after 1 second");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  EXPECT_EQ(run("SELECT count(*) FROM products"), kProductCount);
  EXPECT_EQ(platform::warehouse::get_db_engine(std::nullopt, "cli")->stats().opened, 1u);
  {
    base::ScopedEnv override_timeout("VELKO_QUERY_TIMEOUT", "0.3");
    EXPECT_EQ(run(runaway), "Error executing query: Query timed out after 0.3 seconds");
  }
  {
    base::ScopedEnv bad("VELKO_QUERY_TIMEOUT", "soon");
    EXPECT_EQ(run("SELECT 1"),
              "Error executing query: VELKO_QUERY_TIMEOUT must be a number of seconds above 0 and "
              "at most 604800");
  }
  platform::config::LocalConfigStore().add_connection(
      "shop", {{"type", "SQLITE"}, {"database", warehouse_.string()}, {"query_timeout", 3600}}, true);
  host::ToolRuntime runtime = runtime_of(Json::object());
  runtime.cancel = std::make_shared<base::CancelSignal>();
  std::thread canceller([signal = runtime.cancel] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    signal->cancel();
  });
  started = std::chrono::steady_clock::now();
  EXPECT_EQ(_execute_sql_query_tool_generator("cli").invoke({{"query", runaway}}, runtime),
            "Error executing query: cancelled");
  canceller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  EXPECT_EQ(run("SELECT count(*) FROM products"), kProductCount);
}

// Values over 64 KiB are cut with a marker counting the characters left out; the answer
// stays under 4 MiB whatever the rows hold.
TEST_F(SqlToolTest, LongValuesAreCutAndTheAnswerStaysUnderFourMebibytes) {
  add_shop();
  Json cut = base::loads(run("SELECT replace(hex(zeroblob(50000)), '0', 'x') AS v"));
  const std::string value = cut["rows"][0][0];
  EXPECT_EQ(value, std::string(65536, 'x') + "\xE2\x80\xA6 [34464 more characters]");
  // Characters, not bytes, are counted; a sequence is never split.
  Json wide = base::loads(run("SELECT replace(hex(zeroblob(40000)), '0', '\xC3\xA9') AS v"));
  const std::string accented = wide["rows"][0][0];
  EXPECT_TRUE(base::is_valid_utf8(accented));
  EXPECT_EQ(accented, [] {
    std::string out;
    for (int idx = 0; idx < 32768; ++idx) out += "\xC3\xA9";
    return out + "\xE2\x80\xA6 [47232 more characters]";
  }());
  // A value of exactly 64 KiB is whole.
  EXPECT_EQ(base::loads(run("SELECT replace(hex(zeroblob(32768)), '0', 'y') AS v"))["rows"][0][0],
            std::string(65536, 'y'));
  // Fifty rows of two 1 MB values: cut to 64 KiB each, and rows past 4 MiB left out.
  std::string answer = run(
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 60) "
      "SELECT i, replace(hex(zeroblob(500000)), '0', 'a') AS a, replace(hex(zeroblob(500000)), '0', 'b') AS b FROM n");
  EXPECT_LT(answer.size(), size_t{4} << 20);
  Json bounded = base::loads(answer);
  EXPECT_EQ(bounded["headers"], Json::parse(R"(["i", "a", "b"])"));
  const size_t kept = bounded["rows"].size();
  EXPECT_GT(kept, 20u);
  EXPECT_LT(kept, 50u);
  EXPECT_EQ(bounded["note"], std::to_string(50 - kept) + " rows left out: the answer is limited to 4 MiB");
  EXPECT_EQ(bounded["rows"][0][1].get<std::string>().size(),
            65536 + std::string(" [934464 more characters]").size() + 3);
}

// fts3_tokenizer hands out (and, with two arguments, takes) native pointers: it is off,
// and so are the functions that reach extensions or files. The documented crash
// sequence, two calls on one pooled connection, now answers with errors and the next
// call answers.
TEST_F(SqlToolTest, NoSqlReachesNativePointersOrFiles) {
  add_shop();
  for (const std::string query :
       {"SELECT fts3_tokenizer('simple')", "SELECT fts3_tokenizer('simple', x'4141414141414141')",
        "SELECT load_extension('/tmp/evil.so')", "SELECT readfile('/etc/passwd')", "SELECT writefile('/tmp/x', 'y')"}) {
    std::string answer = run(query);
    EXPECT_TRUE(answer.starts_with("Error executing query: ")) << query << ": " << answer;
  }
  std::string tokens = run("SELECT token FROM temp.tok WHERE input = 'hello world'");
  EXPECT_TRUE(tokens.starts_with("Error executing query: ")) << tokens;
  run("CREATE VIRTUAL TABLE temp.tok USING fts3tokenize(simple)");
  run("SELECT token FROM tok WHERE input = 'hello world'");
  EXPECT_EQ(run("SELECT count(*) FROM products"), kProductCount);
  EXPECT_EQ(platform::warehouse::get_db_engine(std::nullopt, "cli")->stats().opened, 1u);
}

// Eight threads, 200 calls each, on one engine: every answer is the right one.

struct Figures {
  double seconds = 0;
  int wrong = 0;
  platform::sql::PoolStats stats;
};

// `expected(n)` is the exact answer to the query about order n.
Figures hammer(const Json& state, const std::string& mode, const std::function<std::string(int)>& expected) {
  constexpr int kThreads = 8;
  constexpr int kCalls = 200;
  host::Tool tool = _execute_sql_query_tool_generator(mode);
  std::atomic<int> wrong{0};
  auto started = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int thread = 0; thread < kThreads; ++thread) {
    threads.emplace_back([&, thread] {
      for (int call = 0; call < kCalls; ++call) {
        int order = 1 + (thread * kCalls + call) % 5000;
        std::string answer = tool.invoke(
            {{"query", "SELECT id, customer_id, status, total FROM orders WHERE id = " + std::to_string(order)}},
            runtime_of(state));
        if (answer != expected(order)) {
          if (wrong++ == 0) ADD_FAILURE() << "order " << order << ": " << answer << " expected " << expected(order);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  Figures figures;
  figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  figures.wrong = wrong;
  return figures;
}

std::string status_of(int order) {
  static const char* const kStatuses[] = {"placed", "shipped", "delivered", "returned"};
  return kStatuses[order % 4];
}

std::string answer_of(int order, const std::string& total) {
  return R"({"headers": ["id", "customer_id", "status", "total"], "rows": [[)" + std::to_string(order) + ", " +
         std::to_string(1 + (order * 7) % 1000) + ", \"" + status_of(order) + "\", " + total + "]]}";
}

void report(const char* name, const Figures& figures, const platform::sql::PoolStats& stats) {
  std::cout << "[ figures ] " << name << ": 8 threads x 200 calls in " << figures.seconds << " s ("
            << static_cast<int>(1600 / figures.seconds) << " calls/s), " << figures.wrong << " wrong, " << stats.opened
            << " connections opened (at most " << stats.peak_open << " at once), " << stats.checked_out
            << " checked out after\n";
}

TEST_F(SqlToolTest, ConcurrentCallsOnTheEmbeddedWarehouseAllAnswerRight) {
  add_shop();
  Figures figures = hammer(Json::object(), "cli",
                           [](int order) { return answer_of(order, base::dumps(Json((order * 17) % 1200 + 5.5))); });
  auto stats = platform::warehouse::get_db_engine(std::nullopt, "cli")->stats();
  report("sqlite", figures, stats);
  EXPECT_EQ(figures.wrong, 0);
  EXPECT_EQ(stats.checked_out, 0u);
  EXPECT_LE(stats.peak_open, 8u);  // one per thread at most, within the pool's limit of 15
}

TEST_F(SqlToolTest, ConcurrentCallsOnPostgresAllAnswerRight) {
  auto server = testing::PgServer::from_env();
  if (!server) GTEST_SKIP() << "VELKO_TEST_PG_URL is not set (scripts/pg_test_server.sh start)";
  auto services = std::make_shared<platform::services::InMemoryServices>(Json{{"pg", server->database_config()}},
                                                                         Json::object(), Json::object());
  platform::services::ScopedHostedServices scope(services);
  Figures figures = hammer({{"connection_id", "pg"}}, "web", [](int order) {
    char total[32];
    std::snprintf(total, sizeof total, "\"%d.50\"", (order * 17) % 1200 + 5);
    return answer_of(order, total);
  });
  auto stats = platform::warehouse::get_db_engine("pg", "web")->stats();
  report("postgres", figures, stats);
  EXPECT_EQ(figures.wrong, 0);
  EXPECT_EQ(stats.checked_out, 0u);
  EXPECT_LE(stats.peak_open, 8u);  // one per thread at most, within the pool's limit of 15
}

}  // namespace
}  // namespace velko::middleware::analyst
