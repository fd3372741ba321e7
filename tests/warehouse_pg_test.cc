// The warehouse tools against a real PostgreSQL server (scripts/pg_test_server.sh), on
// the seeded shop of tests/data/pg_seed.sql: results, value kinds, the row cap, writes
// that never persist, one statement per call, secrets and bad input.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/support/pg_warehouse.h"
#include "velko/base/cancel.h"
#include "velko/base/json.h"
#include "velko/base/logging.h"
#include "velko/base/utf8.h"
#include "velko/middleware/analyst/tools.h"
#include "velko/platform/config/local_config.h"
#include "velko/platform/db_utils/urls.h"
#include "velko/platform/services/hosted_services.h"
#include "velko/platform/sql/engine.h"
#include "velko/platform/warehouse/warehouse.h"

namespace velko {
namespace {

using middleware::analyst::_execute_sql_query_tool_generator;
using middleware::analyst::_get_table_columns_tool_generator;
using middleware::analyst::_list_schemas_tool_generator;
using middleware::analyst::_list_tables_tool_generator;

host::ToolRuntime runtime_of(const Json& state) {
  host::ToolRuntime runtime;
  runtime.state = state;
  return runtime;
}

class PgWarehouseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = testing::PgServer::from_env();
    if (!server_) GTEST_SKIP() << "VELKO_TEST_PG_URL is not set (scripts/pg_test_server.sh start)";
    platform::warehouse::clear_engine_cache();
    platform::config::LocalConfigStore().add_connection("pg", server_->database_config(), true);
  }
  void TearDown() override { platform::warehouse::clear_engine_cache(); }

  std::string sql(const std::string& query, const Json& state = Json::object()) {
    return _execute_sql_query_tool_generator("cli").invoke({{"query", query}}, runtime_of(state));
  }
  Json rows(const std::string& query) { return base::loads(sql(query))["rows"]; }
  std::string admin(const std::string& query) { return server_->admin_scalar(query); }

  testing::TempHome home_;
  std::optional<testing::PgServer> server_;
};

TEST_F(PgWarehouseTest, SchemaToolsDescribeTheWarehouse) {
  auto invoke = [](const host::Tool& tool, const Json& args) { return tool.invoke(args, runtime_of(Json::object())); };
  EXPECT_EQ(invoke(_list_schemas_tool_generator("cli"), Json::object()),
            R"({"schemas": ["information_schema", "public", "staging"]})");
  EXPECT_EQ(invoke(_list_tables_tool_generator("cli"), {{"db_schema", "public"}}),
            R"({"schema": "public", "tables": ["customer_order_totals", "customers", "order_items", "orders", )"
            R"("products", "value_kinds"]})");
  EXPECT_EQ(invoke(_list_tables_tool_generator("cli"), {{"db_schema", "staging"}}),
            R"({"schema": "staging", "tables": ["raw_events"]})");
  Json described = base::loads(invoke(_get_table_columns_tool_generator("cli"),
                                      {{"db_schema", "public"}, {"table_names", "customers, missing"}}));
  ASSERT_EQ(described.size(), 2u);
  EXPECT_EQ(described[0]["table"], "public.customers");
  std::vector<std::pair<std::string, std::string>> types;
  for (const auto& column : described[0]["columns"]) types.emplace_back(column["name"], column["type"]);
  EXPECT_EQ(types, (std::vector<std::pair<std::string, std::string>>{{"id", "INTEGER"},
                                                                     {"name", "TEXT"},
                                                                     {"email", "VARCHAR(120)"},
                                                                     {"country", "CHAR(2)"},
                                                                     {"signup_date", "DATE"},
                                                                     {"is_active", "BOOLEAN"},
                                                                     {"lifetime_value", "NUMERIC(12, 2)"},
                                                                     {"tags", "TEXT[]"},
                                                                     {"profile", "JSONB"},
                                                                     {"external_id", "UUID"}}));
  EXPECT_EQ(described[0]["columns"][0]["nullable"], false);
  EXPECT_EQ(described[0]["columns"][6]["nullable"], true);
  EXPECT_EQ(described[1], (Json{{"table", "public.missing"}, {"error", "Table 'public.missing' not found"}}));
  Json timestamps = base::loads(invoke(_get_table_columns_tool_generator("cli"),
                                       {{"db_schema", "public"}, {"table_names", "value_kinds"}}))[0]["columns"];
  EXPECT_EQ(timestamps[14]["type"], "TIMESTAMP WITHOUT TIME ZONE");
  EXPECT_EQ(timestamps[15]["type"], "TIMESTAMP WITH TIME ZONE");
  EXPECT_EQ(timestamps[24]["type"], "INTEGER[]");
}

TEST_F(PgWarehouseTest, EveryValueKindKeepsItsForm) {
  EXPECT_EQ(
      sql("SELECT * FROM value_kinds ORDER BY id"),
      "{\"headers\": [\"id\", \"k_smallint\", \"k_integer\", \"k_bigint\", \"k_real\", \"k_double\", \"k_numeric\", "
      "\"k_boolean\", \"k_text\", \"k_varchar\", \"k_char\", \"k_date\", \"k_time\", \"k_timetz\", \"k_timestamp\", "
      "\"k_timestamptz\", \"k_interval\", \"k_uuid\", \"k_bytea\", \"k_json\", \"k_jsonb\", \"k_int_array\", "
      "\"k_text_array\", \"k_numeric_array\", \"k_matrix\", \"k_inet\"], \"rows\": ["
      "[1, 12, 34567, 9007199254740993, 1.5, 0.1, \"1234.500000\", true, "
      "\"Gr\\u00fc\\u00dfe, \\u4e16\\u754c \\ud83c\\udf89\", \"plain\", \"ab   \", \"2024-01-15\", \"10:30:00\", "
      "\"10:30:00+02:00\", \"2024-01-15 10:30:00.123000\", \"2024-01-15 10:30:00+00:00\", \"1 day, 2:03:04\", "
      "\"a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11\", \"b'\\\\x00\\\\xffA'\", {\"a\": [1, 2.5, \"x\"], \"b\": null}, "
      "{\"n\": 3, \"nested\": {\"ok\": true}}, [1, null, 3], [\"a b\", \"c,d\", \"e\\\"f\", null, \"NULL\"], "
      "[\"1.10\", \"2.5\"], [[1, 2], [3, 4]], \"192.168.0.1/24\"], "
      "[2, -32768, -2147483648, -9223372036854775808, Infinity, NaN, \"-0.000001\", false, \"\", "
      "\"tab\\tand\\nnewline\", \"x    \", \"0044-03-15\", \"23:59:59.999999\", \"00:00:00-05:30\", "
      "\"1999-12-31 23:59:59\", \"2000-06-01 06:30:00.500000+00:00\", \"-423 days, 19:54:53.500000\", "
      "\"00000000-0000-0000-0000-000000000000\", \"b''\", [], \"just text\", [], [], [\"NaN\"], [], \"::1\"], "
      "[3, null, null, null, null, null, null, null, null, null, null, null, null, null, null, null, null, null, "
      "null, null, null, null, null, null, null, null]]}");
}

TEST_F(PgWarehouseTest, ResultsAreCappedAtFiftyRows) {
  auto engine = platform::warehouse::get_db_engine(std::nullopt, "cli");
  auto seen = std::make_shared<std::vector<std::string>>();
  engine->add_statement_listener([seen](std::string_view statement) { seen->emplace_back(statement); });
  Json orders = base::loads(sql("SELECT id, status, total FROM orders ORDER BY id;"));
  EXPECT_EQ(orders["headers"], Json::parse(R"(["id", "status", "total"])"));
  ASSERT_EQ(orders["rows"].size(), 50u);
  EXPECT_EQ(orders["rows"][0], Json::parse(R"([1, "shipped", "22.50"])"));
  EXPECT_EQ(seen->back(), "SELECT id, status, total FROM orders ORDER BY id LIMIT 50");
  EXPECT_EQ(rows("SELECT id FROM orders ORDER BY id LIMIT 3").size(), 3u);
  // SHOW is not rewritten; the engine still keeps only 50 of its rows.
  EXPECT_EQ(seen->back(), "SELECT id FROM orders ORDER BY id LIMIT 3");
  EXPECT_EQ(rows("SHOW ALL").size(), 50u);
  EXPECT_EQ(seen->back(), "SHOW ALL");
  // Sixty million rows, streamed: the server is asked to stop, and the connection stays
  // usable.
  platform::sql::Connection connection = engine->connect();
  platform::sql::Result endless =
      connection.execute("SELECT o.id, i.line_no FROM orders o CROSS JOIN order_items i", {.max_rows = 50});
  EXPECT_EQ(endless.fetchall().size(), 50u);
  EXPECT_TRUE(endless.truncated());
  EXPECT_EQ(connection.execute("SELECT 2 + 2").fetchall().at(0).at(0), 4);
  // A caller that wrongly promises a bounded statement still gets no more than 50 rows.
  platform::sql::Result promised =
      connection.execute("SELECT generate_series(1, 200)", {.max_rows = 50, .rows_bounded = true});
  EXPECT_EQ(promised.fetchall().size(), 50u);
  EXPECT_TRUE(promised.truncated());
  EXPECT_EQ(promised.fetchall().back().at(0), 50);
}

TEST_F(PgWarehouseTest, WritesNeverPersist) {
  const std::string before = admin(
      "SELECT (SELECT count(*) FROM customers) || '/' || (SELECT count(*) FROM orders) || '/' || "
      "(SELECT sum(total) FROM orders) || '/' || (SELECT last_value || is_called::text FROM ticket_numbers)");
  struct Case {
    std::string query;
    std::string expected;
  };
  const std::string read_only = "Error executing query: cannot execute ";
  for (const auto& [query, expected] : std::vector<Case>{
           {"INSERT INTO orders (customer_id, ordered_at, status, total) VALUES (1, now(), 'placed', 1)",
            read_only + "INSERT in a read-only transaction"},
           {"UPDATE orders SET total = 0", read_only + "UPDATE in a read-only transaction"},
           {"DELETE FROM order_items", read_only + "DELETE in a read-only transaction"},
           {"DROP TABLE order_items", read_only + "DROP TABLE in a read-only transaction"},
           {"TRUNCATE customers CASCADE", read_only + "TRUNCATE TABLE in a read-only transaction"},
           {"CREATE TABLE scratch (id int)", read_only + "CREATE TABLE in a read-only transaction"},
           {"SELECT nextval('ticket_numbers')", read_only + "nextval() in a read-only transaction"},
           {"WITH gone AS (DELETE FROM orders RETURNING id) SELECT count(*) FROM gone",
            read_only + "SELECT in a read-only transaction"},
           {"COMMIT; DROP TABLE orders",
            "Error executing query: cannot insert multiple commands into a prepared statement"},
           {"SELECT 1; DELETE FROM orders",
            "Error executing query: cannot insert multiple commands into a prepared statement"},
           {"COMMIT",
            "Error executing query: This result object does not return rows. It has been closed "
            "automatically."},
           {"SET TRANSACTION READ WRITE",
            "Error executing query: This result object does not return rows. It has been closed automatically."},
       }) {
    EXPECT_EQ(sql(query), expected) << query;
    // Whatever the previous call did, the next write still fails.
    EXPECT_EQ(sql("DELETE FROM customers"), read_only + "DELETE in a read-only transaction") << query;
  }
  // A session setting changed by one call is rolled back with it.
  EXPECT_EQ(rows("SELECT set_config('search_path', 'staging', false)"), Json::parse(R"([["staging"]])"));
  EXPECT_EQ(rows("SHOW search_path"), Json::parse(R"([["\"$user\", public"]])"));
  EXPECT_EQ(
      admin("SELECT (SELECT count(*) FROM customers) || '/' || (SELECT count(*) FROM orders) || '/' || "
            "(SELECT sum(total) FROM orders) || '/' || (SELECT last_value || is_called::text FROM ticket_numbers)"),
      before);
  EXPECT_EQ(admin("SELECT count(*) FROM pg_tables WHERE tablename = 'scratch'"), "0");
}

TEST_F(PgWarehouseTest, TheCachedEngineReusesItsConnection) {
  Json first = rows("SELECT pg_backend_pid()");
  // A statement the database refuses costs the pooled connection nothing.
  EXPECT_TRUE(sql("SELECT * FROM no_such_table").starts_with("Error executing query: relation"));
  Json second = rows("SELECT pg_backend_pid()");
  EXPECT_EQ(first, second);
  platform::sql::PoolStats stats = platform::warehouse::get_db_engine(std::nullopt, "cli")->stats();
  EXPECT_EQ(stats.opened, 1u);
  EXPECT_EQ(stats.failed_pings, 0u);
  std::cout << "[ figures ] two calls, one engine: backend pid " << first[0][0] << " both times, " << stats.opened
            << " connection opened\n";
}

TEST_F(PgWarehouseTest, SecretsNeverShow) {
  const std::string password = server_->password();
  ASSERT_GE(password.size(), 8u);
  const std::string encoded = platform::db_utils::percent_encode(password);
  base::ScopedLogCapture capture;
  platform::config::LocalConfigStore store;
  Json wrong = server_->database_config(password + "-wrong");
  store.add_connection("wrong", wrong, false);
  Json unreachable = server_->database_config();
  unreachable["port"] = "1";
  store.add_connection("unreachable", unreachable, false);
  Json malformed = server_->database_config();
  malformed["port"] = "54x32";
  store.add_connection("malformed", malformed, false);
  Json no_such_host = server_->database_config();
  no_such_host["host"] = "no-such-host.invalid";
  store.add_connection("nohost", no_such_host, false);

  std::vector<std::string> outputs;
  for (const std::string id : {"wrong", "unreachable", "malformed", "nohost"}) {
    Json state = {{"connection_id", id}};
    outputs.push_back(sql("SELECT 1", state));
    outputs.push_back(_list_schemas_tool_generator("cli").invoke(Json::object(), runtime_of(state)));
    outputs.push_back(_list_tables_tool_generator("cli").invoke({{"db_schema", "public"}}, runtime_of(state)));
    outputs.push_back(_get_table_columns_tool_generator("cli").invoke(
        {{"db_schema", "public"}, {"table_names", "orders"}}, runtime_of(state)));
  }
  EXPECT_NE(outputs[0].find("password authentication failed"), std::string::npos) << outputs[0];
  EXPECT_NE(outputs[4].find("Connection refused"), std::string::npos) << outputs[4];
  EXPECT_EQ(outputs[8], "Error executing query: Could not parse the connection URL: invalid port");
  for (const auto& output : outputs) {
    EXPECT_TRUE(output.starts_with("Error") || output.find("\"error\"") != std::string::npos) << output;
    EXPECT_EQ(output.find(password), std::string::npos) << output;
    EXPECT_EQ(output.find(encoded), std::string::npos) << output;
    EXPECT_EQ(output.find("postgresql"), std::string::npos) << output;  // no URL either
  }
  // Even a statement that spells the password out comes back without it.
  std::string echoed = sql("SELECT * FROM \"" + password + "\"");
  EXPECT_EQ(echoed.find(password), std::string::npos) << echoed;
  EXPECT_NE(echoed.find("***"), std::string::npos) << echoed;
  for (const auto& record : capture.sink().records()) {
    EXPECT_EQ(record.message.find(password), std::string::npos) << record.message;
    EXPECT_EQ(record.message.find(encoded), std::string::npos) << record.message;
  }
}

TEST_F(PgWarehouseTest, BadInputGetsAClearError) {
  EXPECT_EQ(sql(""), "Error executing query: can't execute an empty query");
  EXPECT_EQ(sql(" ; ;"), "Error executing query: can't execute an empty query");
  EXPECT_EQ(sql(std::string("SELECT 1\0 ; DROP TABLE orders", 30)),
            "Error executing query: SQL text cannot contain NUL (0x00) bytes");
  std::string latin1 = sql("SELECT 'caf\xe9'");
  EXPECT_TRUE(latin1.starts_with("Error executing query: invalid byte sequence for encoding \"UTF8\": 0xe9")) << latin1;
  EXPECT_TRUE(base::is_valid_utf8(latin1));
  EXPECT_EQ(rows("SELECT length('" + std::string((1 << 20) - 20, 'q') + "')"), Json::parse("[[1048556]]"));
  EXPECT_EQ(sql("SELECT length('" + std::string(1 << 20, 'q') + "')"),
            "Error executing query: the query text is 1048593 bytes long; at most 1048576 bytes (1 MiB) are accepted");
  EXPECT_EQ(sql("SELECT 1", {{"connection_id", "nobody"}}),
            "Error: No database connection configured. Use /database to select one.");
  EXPECT_EQ(_list_tables_tool_generator("cli").invoke({{"db_schema", std::string("pub\0lic", 7)}},
                                                      runtime_of(Json::object())),
            "Error listing tables: names cannot contain NUL (0x00) bytes");
  std::string syntax = sql("SELEC id FROM orders");
  EXPECT_TRUE(syntax.starts_with("Error executing query: syntax error at or near \"SELEC\"")) << syntax;
}

TEST_F(PgWarehouseTest, StoredInvalidUtf8StaysValidJson) {
  Json ascii = server_->database_config();
  ascii["database"] = "velko_test_ascii";
  platform::config::LocalConfigStore().add_connection("ascii", ascii, false);
  std::string answer = sql("SELECT id, note FROM legacy_notes ORDER BY id", {{"connection_id", "ascii"}});
  EXPECT_TRUE(base::is_valid_utf8(answer));
  EXPECT_EQ(answer, R"({"headers": ["id", "note"], "rows": [[1, "plain"], [2, "caf\ufffd latin-1"], )"
                    R"([3, "bad \ufffd\ufffd bytes"]]})");
}

TEST_F(PgWarehouseTest, WebModeRunsTheSameToolsThroughTheBackEnd) {
  auto services = std::make_shared<platform::services::InMemoryServices>(
      Json{{"warehouse-7", server_->database_config()}}, Json::object(), Json::object());
  platform::services::ScopedHostedServices scope(services);
  Json state = {{"connection_id", "warehouse-7"}};
  EXPECT_EQ(_execute_sql_query_tool_generator("web").invoke({{"query", "SELECT count(*) AS n FROM order_items"}},
                                                            runtime_of(state)),
            R"({"headers": ["n"], "rows": [[12500]]})");
  EXPECT_EQ(_list_tables_tool_generator("web").invoke({{"db_schema", "staging"}}, runtime_of(state)),
            R"({"schema": "staging", "tables": ["raw_events"]})");
}

// pg_sleep(3600) under a query_timeout of 2 s: the answer comes within 4 s, the server
// is no longer running it, and the same engine answers the next call on the same
// connection. A cancelled call ends the same way.
TEST_F(PgWarehouseTest, QueriesEndOnTheServerAtTheirTimeLimitOrWhenCancelled) {
  Json config = server_->database_config();
  config["query_timeout"] = 2;
  platform::config::LocalConfigStore().add_connection("slow", config, false);
  const Json state = {{"connection_id", "slow"}};
  auto active = [&](const std::string& marker) {
    return admin("SELECT count(*) FROM pg_stat_activity WHERE state = 'active' AND query LIKE '%" + marker +
                 "%' AND pid <> pg_backend_pid()");
  };
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(sql("SELECT pg_sleep(3600) AS sleep_timeout", state),
            "Error executing query: Query timed out after 2 seconds");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(active("sleep_timeout"), "0");
  EXPECT_EQ(sql("SELECT 1 AS one", state), R"({"headers": ["one"], "rows": [[1]]})");
  auto engine = platform::warehouse::get_db_engine("slow", "cli");
  EXPECT_EQ(engine->stats().opened, 1u);  // the same pooled connection served both

  host::ToolRuntime runtime = runtime_of(Json{{"connection_id", "pg"}});
  runtime.cancel = std::make_shared<base::CancelSignal>();
  std::thread canceller([signal = runtime.cancel] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    signal->cancel();
  });
  started = std::chrono::steady_clock::now();
  EXPECT_EQ(
      _execute_sql_query_tool_generator("cli").invoke({{"query", "SELECT pg_sleep(3600) AS sleep_cancel"}}, runtime),
      "Error executing query: cancelled");
  canceller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(active("sleep_cancel"), "0");
  EXPECT_EQ(rows("SELECT 2 AS two"), Json::parse("[[2]]"));
  // The schema tools run under the same limit and signal.
  EXPECT_EQ(_list_schemas_tool_generator("cli").invoke(Json::object(), runtime), "Error listing schemas: cancelled");
}

// A server that answers neither the statement nor the cancel request (its backend is
// stopped here with SIGSTOP): the call still ends, soon after its limit, and the
// connection is not used again.
TEST_F(PgWarehouseTest, ACallEndsEvenWhenTheServerStopsAnswering) {
  Json config = server_->database_config();
  config["query_timeout"] = 1;
  platform::config::LocalConfigStore().add_connection("frozen", config, false);
  const Json state = {{"connection_id", "frozen"}};
  std::string answer;
  auto started = std::chrono::steady_clock::now();
  std::thread call([&] { answer = sql("SELECT pg_sleep(3600) AS frozen_backend", state); });
  std::string pid;
  for (int attempt = 0; attempt < 50 && pid.empty(); ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pid = admin("SELECT pid FROM pg_stat_activity WHERE query LIKE '%frozen_backend%' AND pid <> pg_backend_pid()");
  }
  ASSERT_FALSE(pid.empty());
  if (::kill(std::stoi(pid), SIGSTOP) != 0) {
    call.join();
    GTEST_SKIP() << "cannot stop the server's backend (not its owner)";
  }
  call.join();
  auto took = std::chrono::steady_clock::now() - started;
  ::kill(std::stoi(pid), SIGCONT);
  admin("SELECT pg_terminate_backend(" + pid + ")");
  EXPECT_TRUE(answer.starts_with("Error executing query: ")) << answer;
  EXPECT_NE(answer.find("timed out after 1 second"), std::string::npos) << answer;
  EXPECT_LT(took, std::chrono::seconds(15));  // limit 1 s + grace 1 s + 5 s for an answer, and slack
  // The next call gets a working connection.
  EXPECT_EQ(sql("SELECT 1 AS one", state), R"({"headers": ["one"], "rows": [[1]]})");
}

// Session state a call leaves behind (advisory locks, prepared statements, settings) is
// reset before the connection goes back to the pool, even after a failed statement.
TEST_F(PgWarehouseTest, NothingACallDoesOutlivesIt) {
  EXPECT_EQ(rows("SELECT pg_advisory_lock(42) IS NULL AS held"), Json::parse("[[false]]"));
  EXPECT_EQ(admin("SELECT pg_try_advisory_lock(42)"), "t");  // a second session takes it at once
  std::string failed = sql("SELECT pg_advisory_lock(43), 1 / 0");
  EXPECT_TRUE(failed.starts_with("Error executing query: division by zero")) << failed;
  EXPECT_EQ(admin("SELECT pg_try_advisory_lock(43)"), "t");

  EXPECT_EQ(sql("PREPARE p AS SELECT 1"),
            "Error executing query: This result object does not return rows. It has "
            "been closed automatically.");
  EXPECT_EQ(sql("EXECUTE p"), "Error executing query: prepared statement \"p\" does not exist");
  sql("SELECT set_config('application_name', 'changed', false)");
  EXPECT_EQ(rows("SELECT current_setting('application_name')"), Json::parse(R"([["velko"]])"));
  // The session's own settings survive the reset: values keep their forms.
  EXPECT_EQ(rows("SELECT current_setting('DateStyle'), DATE '2024-01-15'"),
            Json::parse(R"([["ISO, MDY", "2024-01-15"]])"));
  EXPECT_EQ(platform::warehouse::get_db_engine(std::nullopt, "cli")->stats().opened, 1u);
}

// A listener that counts the connections made to it.
class Listener {
 public:
  Listener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd_, 16);
    socklen_t size = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
  }
  ~Listener() { ::close(fd_); }
  int port() const { return port_; }
  int accepted() {
    int count = 0;
    while (true) {
      int connection = ::accept(fd_, nullptr, nullptr);
      if (connection < 0) return count;
      ::close(connection);
      ++count;
    }
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// Connection values never become connection keywords: a database, host or port holding
// "?", "&", "/", "#" or "@" stays one value (and fails as one), a URL query naming host,
// port, user, password or dbname is refused, and no error quotes the password.
TEST_F(PgWarehouseTest, ConnectionValuesCannotRedirectTheConnection) {
  Listener listener;
  const std::string password = server_->password();
  const std::string port = std::to_string(listener.port());
  auto answer_with = [&](const std::string& key, const std::string& value) {
    Json config = server_->database_config();
    config[key] = value;
    platform::config::LocalConfigStore().add_connection("hostile", config, false);
    return sql("SELECT 1", {{"connection_id", "hostile"}});
  };
  struct Case {
    std::string key, value, expected;
  };
  const std::vector<Case> cases = {
      {"database", "velko_test?host=127.0.0.1&port=" + port, "database \"velko_test?host=127.0.0.1&port=" + port},
      {"database", "velko_test/../x#y@127.0.0.1:" + port, "does not exist"},
      {"host", "127.0.0.1:" + port + "/velko_test?x=", "could not translate host name"},
      {"host", "evil@127.0.0.1", "could not translate host name"},
      {"host", "127.0.0.1/?#@", "could not translate host name"},
      {"port", port + "/velko_test?host=127.0.0.1", "Could not parse the connection URL: invalid port"},
      {"port", "5432#@x", "Could not parse the connection URL: invalid port"},
  };
  for (const auto& test_case : cases) {
    SCOPED_TRACE(test_case.key + " = " + test_case.value);
    std::string text = answer_with(test_case.key, test_case.value);
    EXPECT_TRUE(text.starts_with("Error executing query: ")) << text;
    EXPECT_NE(text.find(test_case.expected), std::string::npos) << text;
    EXPECT_EQ(text.find(password), std::string::npos) << text;
  }
  // A URL given to the engine layer directly: only the documented options pass.
  for (const std::string& query :
       std::vector<std::string>{"host=127.0.0.1&port=" + port, "port=" + port, "dbname=postgres", "user=velko_admin",
                                "password=x", "passfile=/tmp/x", "service=evil"}) {
    SCOPED_TRACE(query);
    try {
      platform::sql::create_engine(server_->url + "?" + query)->connect();
      ADD_FAILURE() << "the URL must be refused";
    } catch (const base::DatabaseError& error) {
      EXPECT_NE(std::string(error.what()).find("is not accepted"), std::string::npos) << error.what();
      EXPECT_EQ(std::string(error.what()).find(password), std::string::npos);
    }
  }
  EXPECT_EQ(platform::sql::create_engine(server_->url + "?sslmode=disable&application_name=velko_x")
                ->connect()
                .execute("SELECT current_setting('application_name')")
                .fetchall(),
            (std::vector<platform::sql::Row>{{Json("velko_x")}}));
  EXPECT_EQ(listener.accepted(), 0);
}

// Peak memory stays bounded whatever the statement: WITH TIES (which the cap cannot
// bound) is read row by row and stopped after 50 rows, and long values are cut while
// they are read.
TEST_F(PgWarehouseTest, UnboundedStatementsAndLongValuesStaySmall) {
  auto engine = platform::warehouse::get_db_engine(std::nullopt, "cli");
  auto seen = std::make_shared<std::vector<std::string>>();
  engine->add_statement_listener([seen](std::string_view statement) { seen->emplace_back(statement); });
  Json tied = base::loads(sql("SELECT 1 AS x FROM generate_series(1, 200000) ORDER BY 1 FETCH FIRST 1 ROW WITH TIES"));
  EXPECT_EQ(tied["rows"].size(), 50u);
  EXPECT_EQ(seen->back(), "SELECT 1 AS x FROM generate_series(1, 200000) ORDER BY 1 FETCH FIRST 1 ROW WITH TIES");
  std::string answer = sql("SELECT i, repeat('x', 20000000) AS big FROM generate_series(1, 50) AS i");
  EXPECT_LT(answer.size(), size_t{4} << 20);
  Json big = base::loads(answer);
  ASSERT_GE(big["rows"].size(), 40u);
  EXPECT_EQ(big["rows"][0][1], std::string(65536, 'x') + "\xE2\x80\xA6 [19934464 more characters]");
  // jsonb too long to return comes back as its text, cut.
  Json doc = base::loads(sql("SELECT jsonb_build_object('k', repeat('y', 100000)) AS doc"));
  EXPECT_TRUE(doc["rows"][0][0].get<std::string>().starts_with("{\"k\": \"yyy"));
}

}  // namespace
}  // namespace velko
