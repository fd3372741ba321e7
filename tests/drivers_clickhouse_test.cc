// The ClickHouse driver against a local server that speaks ClickHouse's HTTP interface:
// settings in the query string, credentials in X-ClickHouse-User / X-ClickHouse-Key,
// JSONCompactEachRowWithNamesAndTypes bodies, "Code: N. DB::Exception" errors with the
// X-ClickHouse-Exception-Code header.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "tests/support/error_cases.h"
#include "tests/support/http_test_server.h"
#include "velko/base/cancel.h"
#include "velko/base/errors.h"
#include "velko/databases/clickhouse/clickhouse_engine.h"
#include "velko/platform/db_utils/urls.h"
#include "velko/platform/sql/engine.h"
#include "velko/platform/sql_remote/drivers.h"

namespace velko {
namespace {

using platform::sql::ExecuteOptions;
using test_support::HttpTestServer;
using test_support::RecordedRequest;
using test_support::ScriptedResponse;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kUser = "analyst";
constexpr const char* kPassword = "s3cret!pw#1";

std::map<std::string, std::string> query_params(const std::string& query) {
  std::map<std::string, std::string> out;
  size_t start = 0;
  while (start < query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    std::string pair = query.substr(start, end - start);
    size_t eq = pair.find('=');
    out[platform::db_utils::percent_decode(pair.substr(0, eq))] =
        eq == std::string::npos ? "" : platform::db_utils::percent_decode(pair.substr(eq + 1));
    start = end + 1;
  }
  return out;
}

ScriptedResponse exception(int status, int code, const std::string& text) {
  ScriptedResponse response;
  response.status = status;
  response.content_type = "text/plain; charset=UTF-8";
  response.body =
      "Code: " + std::to_string(code) + ". DB::Exception: " + text + " (version 24.3.2.23 (official build))\n";
  response.headers = {{"X-ClickHouse-Exception-Code", std::to_string(code)}};
  return response;
}

ScriptedResponse rows(const std::string& body) {
  ScriptedResponse response;
  response.content_type = "application/json; charset=UTF-8";
  response.body = body;
  return response;
}

// The server side of the tests: one handler for POST /, answering by statement text.
ScriptedResponse fake_clickhouse(const RecordedRequest& request) {
  auto params = query_params(request.query);
  if (request.header("X-ClickHouse-User") != kUser || request.header("X-ClickHouse-Key") != kPassword) {
    return exception(516, 516,
                     std::string(request.header("X-ClickHouse-User").value_or("")) +
                         ": Authentication failed: password is incorrect, or there is no user with such name. "
                         "(AUTHENTICATION_FAILED)");
  }
  const std::string& sql = request.body;
  if (sql == "SELECT 1") return rows("[\"1\"]\n[\"UInt8\"]\n[1]\n");
  if (sql == "SELECT types") {
    return rows(
        R"JSON(["i8","u64","big","huge","f","nan","inf","b","dec","d","dt","dt64","dt64z","s","n","lc","arr","tup","m","e","uuid"])JSON"
        "\n"
        R"JSON(["Int8","UInt64","Int128","UInt256","Float64","Float32","Float64","Bool","Decimal(12, 2)","Date","DateTime","DateTime64(3)","DateTime64(9, 'UTC')","String","Nullable(Int32)","LowCardinality(Nullable(String))","Array(Nullable(Int16))","Tuple(a Int32, b String)","Map(String, Float64)","Enum8('a,b' = 1, 'c' = 2)","UUID"])JSON"
        "\n"
        R"JSON([-5, "18446744073709551615", "-170141183460469231731687303715884105728", "12", 1.5, "nan", "-inf", true, "1234.50", "2024-01-15", "2024-01-15 10:30:00", "2024-01-15 10:30:00.120", "2024-01-15 10:30:00.000000000", "caf\u00e9", null, null, [1, null, 3], [7, "x"], {"k": 0.25}, "a,b", "61f0c404-5cb3-11e7-907b-a6006ad3dba0"])JSON"
        "\n");
  }
  if (sql == "SELECT number FROM numbers(1000)") {
    // UInt64 quoted, as output_format_json_quote_64bit_integers=1 asks.
    std::string body = "[\"number\"]\n[\"UInt64\"]\n";
    for (size_t idx = 0; idx < 1000; ++idx) body += "[\"" + std::to_string(idx) + "\"]\n";
    return rows(body);
  }
  if (sql == "SELEC 1") {
    return exception(400, 62,
                     "Syntax error: failed at position 1 ('SELEC'): SELEC 1. Expected one of: Query, SELECT. "
                     "(SYNTAX_ERROR)");
  }
  if (sql == "INSERT INTO t VALUES (1)") {
    return exception(500, 164, "Cannot execute query in readonly mode. (READONLY)");
  }
  if (sql == "SELECT echo") {
    return exception(500, 999, std::string("the server repeated the password ") + kPassword + " back");
  }
  if (sql == "SELECT sleepy") {
    ScriptedResponse slow = rows("[\"x\"]\n[\"UInt8\"]\n[1]\n");
    slow.delay = std::chrono::milliseconds(5000);
    return slow;
  }
  if (sql == "SELECT half") {
    return rows(
        "[\"x\"]\n[\"UInt8\"]\n[1]\nCode: 241. DB::Exception: Memory limit exceeded. (MEMORY_LIMIT_EXCEEDED)\n");
  }
  if (sql == "CREATE TEMPORARY TABLE x (a Int8)") return rows("");
  if (sql.find("FROM system.databases") != std::string::npos) {
    return rows("[\"name\"]\n[\"String\"]\n[\"default\"]\n[\"sales\"]\n[\"system\"]\n");
  }
  if (sql.find("FROM system.tables") != std::string::npos) {
    if (params["param_schema"] != "sales") return rows("[\"name\"]\n[\"String\"]\n");
    return rows("[\"name\"]\n[\"String\"]\n[\"orders\"]\n[\"order's view\"]\n");
  }
  if (sql.find("FROM system.columns") != std::string::npos) {
    if (params["param_schema"] != "sales" || params["param_table"] != "orders") {
      return rows("[\"name\",\"type\"]\n[\"String\",\"String\"]\n");
    }
    return rows(
        "[\"name\",\"type\"]\n[\"String\",\"String\"]\n[\"id\",\"UInt64\"]\n[\"note\",\"Nullable(String)\"]\n"
        "[\"tag\",\"LowCardinality(Nullable(String))\"]\n");
  }
  return exception(404, 60, "Unknown table expression identifier. (UNKNOWN_TABLE)");
}

class ClickhouseDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::sql_remote::register_remote_drivers();
    platform::sql::register_driver("clickhousedb",
                                   platform::sql_remote::make_clickhouse_driver({.timeout_seconds = 1}));
    server_.handle("POST", "/", fake_clickhouse);
    databases::clickhouse::clear_engine_cache();
  }
  void TearDown() override {
    platform::sql::register_driver("clickhousedb", platform::sql_remote::make_clickhouse_driver());
    databases::clickhouse::clear_engine_cache();
  }

  std::shared_ptr<platform::sql::Engine> engine(const std::string& password = kPassword) {
    return databases::clickhouse::create_clickhouse_engine(databases::clickhouse::ClickhouseEngineArgs{
        kUser, password, "127.0.0.1", std::to_string(server_.port()), "sales", false});
  }

  // The error text of running `sql`, or "" when it succeeded.
  std::string error_of(const std::string& sql, const std::string& password = kPassword) {
    try {
      auto connection = engine(password)->connect();
      connection.execute(sql);
    } catch (const base::DatabaseError& error) {
      return error.what();
    }
    return "";
  }

  HttpTestServer server_;
};

TEST_F(ClickhouseDriverTest, SendsTheStatementWithCredentialsInHeadersAndSettingsInTheQuery) {
  auto connection = engine()->connect();
  platform::sql::Result result =
      connection.execute("SELECT number FROM numbers(1000);", ExecuteOptions{.max_rows = 50});
  ASSERT_TRUE(result.returns_rows());
  EXPECT_EQ(result.keys(), std::vector<std::string>{"number"});
  ASSERT_EQ(result.fetchall().size(), 50u);
  EXPECT_EQ(result.fetchall()[49][0], 49);
  EXPECT_TRUE(result.truncated());

  auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 2u);  // the login check, then the statement
  EXPECT_EQ(requests[0].body, "SELECT 1");
  const RecordedRequest& sent = requests[1];
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.body, "SELECT number FROM numbers(1000)");  // trailing ';' removed
  auto params = query_params(sent.query);
  EXPECT_EQ(params["database"], "sales");
  EXPECT_EQ(params["default_format"], "JSONCompactEachRowWithNamesAndTypes");
  EXPECT_EQ(params["readonly"], "1");
  // No max_result_rows: ClickHouse would apply it to subqueries too.
  EXPECT_EQ(params.count("max_result_rows"), 0u);
  EXPECT_EQ(params.count("result_overflow_mode"), 0u);
  EXPECT_EQ(params["output_format_json_quote_64bit_integers"], "1");
  EXPECT_EQ(params["max_execution_time"], "1");
  EXPECT_THAT(params["query_id"], HasSubstr("velko-"));
  EXPECT_EQ(sent.header("X-ClickHouse-User"), kUser);
  EXPECT_EQ(sent.header("X-ClickHouse-Key"), kPassword);
  EXPECT_THAT(sent.query, Not(HasSubstr("s3cret")));

  platform::sql::Result all = connection.execute("SELECT number FROM numbers(1000)");
  EXPECT_EQ(all.fetchall().size(), 1000u);
  EXPECT_FALSE(all.truncated());
  EXPECT_EQ(query_params(server_.requests().back().query).count("max_result_rows"), 0u);
}

TEST_F(ClickhouseDriverTest, ConvertsEveryTypeToItsJsonKind) {
  auto connection = engine()->connect();
  platform::sql::Result result = connection.execute("SELECT types");
  ASSERT_EQ(result.fetchall().size(), 1u);
  const auto& row = result.fetchall()[0];
  std::map<std::string, Json> by_name;
  for (size_t idx = 0; idx < result.keys().size(); ++idx) by_name[result.keys()[idx]] = row[idx];
  EXPECT_EQ(by_name["i8"], -5);
  EXPECT_EQ(by_name["u64"].get<uint64_t>(), 18446744073709551615ULL);
  EXPECT_EQ(by_name["big"], "-170141183460469231731687303715884105728");  // beyond 64 bits: text
  EXPECT_TRUE(by_name["huge"].is_number_integer());
  EXPECT_EQ(by_name["huge"], 12);
  EXPECT_EQ(by_name["f"], 1.5);
  EXPECT_TRUE(std::isnan(by_name["nan"].get<double>()));
  EXPECT_EQ(by_name["inf"].get<double>(), -INFINITY);
  EXPECT_EQ(by_name["b"], true);
  EXPECT_EQ(by_name["dec"], "1234.50");
  EXPECT_EQ(by_name["d"], "2024-01-15");
  EXPECT_EQ(by_name["dt"], "2024-01-15 10:30:00");
  EXPECT_EQ(by_name["dt64"], "2024-01-15 10:30:00.120000");
  EXPECT_EQ(by_name["dt64z"], "2024-01-15 10:30:00");
  EXPECT_EQ(by_name["s"], "caf\xc3\xa9");
  EXPECT_TRUE(by_name["n"].is_null());
  EXPECT_TRUE(by_name["lc"].is_null());
  EXPECT_EQ(by_name["arr"], Json::array({1, nullptr, 3}));
  EXPECT_EQ(by_name["tup"], Json::array({7, "x"}));
  EXPECT_EQ(by_name["m"], Json({{"k", 0.25}}));
  EXPECT_EQ(by_name["e"], "a,b");
  EXPECT_EQ(by_name["uuid"], "61f0c404-5cb3-11e7-907b-a6006ad3dba0");

  platform::sql::Result no_rows = connection.execute("CREATE TEMPORARY TABLE x (a Int8)");
  EXPECT_FALSE(no_rows.returns_rows());
}

TEST_F(ClickhouseDriverTest, InspectsThroughSystemTablesWithParameters) {
  auto connection = engine()->connect();
  EXPECT_EQ(connection.list_schemas(), (std::vector<std::string>{"default", "sales", "system"}));
  EXPECT_EQ(connection.list_tables("sales"), (std::vector<std::string>{"orders", "order's view"}));
  EXPECT_TRUE(connection.list_tables("nope").empty());
  auto columns = connection.get_columns("sales", "orders");
  ASSERT_EQ(columns.size(), 3u);
  EXPECT_EQ(columns[0].name, "id");
  EXPECT_EQ(columns[0].type, "UInt64");
  EXPECT_FALSE(columns[0].nullable);
  EXPECT_TRUE(columns[1].nullable);
  EXPECT_TRUE(columns[2].nullable);
  try {
    connection.get_columns("sales", "x' OR 1=1 --");
    ADD_FAILURE() << "a missing table must be an error";
  } catch (const base::DatabaseError& error) {
    EXPECT_STREQ(error.what(), "Table 'sales.x' OR 1=1 --' not found");
  }
  // The names travel as parameters, never inside the statement text.
  for (const auto& request : server_.requests()) EXPECT_THAT(request.body, Not(HasSubstr("OR 1=1")));
}

TEST_F(ClickhouseDriverTest, ErrorsCarryTheServersMessageAndNoSecret) {
  struct Case {
    std::string sql;
    std::string password;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"SELECT 1", "wrong-password-123", "Authentication failed: password is incorrect"},
      {"SELEC 1", kPassword, "Code: 62. DB::Exception: Syntax error: failed at position 1 ('SELEC')"},
      {"INSERT INTO t VALUES (1)", kPassword, "Cannot execute query in readonly mode. (READONLY)"},
      {"SELECT sleepy", kPassword, "ClickHouse did not answer within 1 seconds"},
      {"SELECT half", kPassword, "Code: 241. DB::Exception: Memory limit exceeded."},
      {"SELECT echo", kPassword, "the server repeated the password *** back"},
      {"SELECT 1; DROP TABLE orders", kPassword, "You can only execute one statement at a time."},
      {"  -- nothing\n ;", kPassword, "can't execute an empty query"},
  };
  for (const auto& c : cases) {
    std::string text = error_of(c.sql, c.password);
    EXPECT_THAT(text, HasSubstr(c.expected)) << c.sql;
    EXPECT_THAT(text, Not(HasSubstr(c.password))) << c.sql;
    EXPECT_THAT(text, Not(HasSubstr("s3cret"))) << c.sql;
  }
  // The multi-statement and empty texts never reached the server, and the refused write
  // was not resent without readonly=1.
  for (const auto& request : server_.requests()) {
    EXPECT_THAT(request.body, Not(HasSubstr("DROP")));
    if (request.body.starts_with("INSERT")) {
      EXPECT_EQ(query_params(request.query)["readonly"], "1");
    }
  }

  std::string unreachable;
  try {
    databases::clickhouse::create_clickhouse_engine(
        databases::clickhouse::ClickhouseEngineArgs{kUser, kPassword, "127.0.0.1",
                                                    std::to_string(test_support::unused_port()), "sales", false})
        ->connect();
  } catch (const base::DatabaseError& error) {
    unreachable = error.what();
  }
  EXPECT_THAT(unreachable, HasSubstr("Could not connect to ClickHouse"));
  EXPECT_THAT(unreachable, Not(HasSubstr(kPassword)));
}

// A proxy's error page, rows that are not JSON or do not match the columns, a body cut
// off mid-answer: each is a DatabaseError that says what went wrong, and the engine
// answers the next call.
TEST_F(ClickhouseDriverTest, AnswersTheDriverCannotReadAreClearErrors) {
  server_.handle("POST", "/", [](const RecordedRequest& request) {
    const std::string& sql = request.body;
    if (sql == "SELECT html") return ScriptedResponse::text("<html><body>Bad gateway</body></html>", 502, "text/html");
    if (sql == "SELECT garbage") return rows("[\"x\"]\n[\"UInt8\"]\n[1, \n");
    if (sql == "SELECT wide") return rows("[\"x\"]\n[\"UInt8\"]\n[1, 2]\n");
    if (sql == "SELECT flat") return rows("[\"x\"]\n[\"UInt8\"]\n1\n");
    if (sql == "SELECT cut") return test_support::cut_off_json("[\"x\"]\n[\"UInt8\"]\n[1]\n[");
    if (query_params(request.query)["param_schema"] == "odd") {
      return rows("[\"name\",\"type\"]\n[\"UInt8\",\"UInt8\"]\n[1, 2]\n");
    }
    return fake_clickhouse(request);
  });
  test_support::expect_database_errors([&](const std::string& sql) { engine()->connect().execute(sql); },
                                       {
                                           {"SELECT html", "ClickHouse answered HTTP 502 Bad Gateway: <html>"},
                                           {"SELECT garbage", "ClickHouse sent a result this driver cannot read"},
                                           {"SELECT wide", "ClickHouse sent a result this driver cannot read"},
                                           {"SELECT flat", "ClickHouse sent a result this driver cannot read"},
                                           {"SELECT cut", "The exchange with ClickHouse failed"},
                                       },
                                       kPassword);
  // Catalog rows of the wrong types are passed over, not a failure of the JSON reader.
  auto connection = engine()->connect();
  EXPECT_TRUE(connection.list_tables("odd").empty());
  try {
    connection.get_columns("odd", "t");
    ADD_FAILURE() << "a table without readable columns must be an error";
  } catch (const base::DatabaseError& error) {
    EXPECT_STREQ(error.what(), "Table 'odd.t' not found");
  }
  EXPECT_EQ(engine()->connect().execute("SELECT 1").fetchall().size(), 1u);
}

// A statement is never sent without readonly: a profile with readonly=2 (which refuses a
// change to readonly=1) gets readonly=2; a profile with readonly=1 (which refuses every
// setting) gets the server's error.
TEST_F(ClickhouseDriverTest, ReadOnlyProfilesNeverGetAStatementWithoutReadonly) {
  for (const std::string profile : {"1", "2"}) {
    SCOPED_TRACE("profile readonly=" + profile);
    HttpTestServer readonly_server;
    readonly_server.handle("POST", "/", [profile](const RecordedRequest& request) {
      auto params = query_params(request.query);
      if (params["readonly"] != profile || (profile == "1" && params.count("max_execution_time"))) {
        std::string setting = params["readonly"] != profile ? "readonly" : "max_execution_time";
        return exception(500, 164, "Cannot modify '" + setting + "' setting in readonly mode. (READONLY)");
      }
      return rows("[\"1\"]\n[\"UInt8\"]\n[1]\n");
    });
    std::string error;
    try {
      auto engine = databases::clickhouse::create_clickhouse_engine(databases::clickhouse::ClickhouseEngineArgs{
          kUser, kPassword, "127.0.0.1", std::to_string(readonly_server.port()), "sales", false});
      auto connection = engine->connect();
      EXPECT_EQ(connection.execute("SELECT 1").fetchall()[0][0], 1);
    } catch (const base::DatabaseError& caught) {
      error = caught.what();
    }
    if (profile == "2") {
      EXPECT_EQ(error, "");
      EXPECT_EQ(query_params(readonly_server.requests().back().query)["readonly"], "2");
    } else {
      EXPECT_THAT(error, HasSubstr("Cannot modify"));
    }
    for (const auto& request : readonly_server.requests()) {
      auto params = query_params(request.query);
      EXPECT_TRUE(params["readonly"] == "1" || params["readonly"] == "2") << request.query;
    }
  }
}

// A ClickHouse that keeps a statement running until it is killed: KILL QUERY by the
// statement's query_id ends it with QUERY_WAS_CANCELLED (394).
class KillableClickhouse {
 public:
  KillableClickhouse() {
    server_.handle("POST", "/", [this](const RecordedRequest& request) { return answer(request); });
  }
  int port() const { return server_.port(); }
  std::vector<RecordedRequest> requests() const { return server_.requests(); }

 private:
  ScriptedResponse answer(const RecordedRequest& request) {
    auto params = query_params(request.query);
    if (request.body == "SELECT 1") return rows("[\"1\"]\n[\"UInt8\"]\n[1]\n");
    if (request.body.starts_with("KILL QUERY WHERE query_id = '")) {
      std::string id = request.body.substr(29, request.body.find('\'', 29) - 29);
      std::lock_guard lock(mu_);
      killed_.insert(id);
      killed_cv_.notify_all();
      return rows("");
    }
    std::string id = params["query_id"];
    std::unique_lock lock(mu_);
    if (!killed_cv_.wait_for(lock, std::chrono::seconds(30), [&] { return killed_.count(id) > 0; })) {
      return rows("[\"x\"]\n[\"UInt8\"]\n[1]\n");
    }
    return exception(500, 394, "Query was cancelled. (QUERY_WAS_CANCELLED)");
  }

  std::mutex mu_;
  std::condition_variable killed_cv_;
  std::set<std::string> killed_;
  HttpTestServer server_;  // last: stopped before the state its handler uses
};

TEST_F(ClickhouseDriverTest, TheTimeLimitAndTheCancelSignalKillTheQueryOnTheServer) {
  KillableClickhouse server;
  auto engine = databases::clickhouse::create_clickhouse_engine(databases::clickhouse::ClickhouseEngineArgs{
      kUser, kPassword, "127.0.0.1", std::to_string(server.port()), "sales", false});
  auto connection = engine->connect();
  auto killed = [&](const std::string& statement) {
    std::string id;
    bool kill_sent = false;
    for (const auto& request : server.requests()) {
      if (request.body == statement) id = query_params(request.query)["query_id"];
      if (!id.empty() && request.body == "KILL QUERY WHERE query_id = '" + id + "' ASYNC") {
        kill_sent = true;
        EXPECT_EQ(query_params(request.query)["readonly"], "1");
      }
    }
    return kill_sent;
  };

  auto started = std::chrono::steady_clock::now();
  try {
    connection.execute("SELECT sleep_forever", ExecuteOptions{.timeout = std::chrono::milliseconds(1000)});
    ADD_FAILURE() << "the statement must time out";
  } catch (const base::TimeoutError& error) {
    EXPECT_EQ(std::string(error.what()), "Query timed out after 1 second");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
  EXPECT_TRUE(killed("SELECT sleep_forever"));

  auto signal = std::make_shared<base::CancelSignal>();
  std::thread canceller([signal] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    signal->cancel();
  });
  started = std::chrono::steady_clock::now();
  EXPECT_THROW(connection.execute("SELECT sleep_again", ExecuteOptions{.cancel = signal}), base::CancelledError);
  canceller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  EXPECT_TRUE(killed("SELECT sleep_again"));
  // The statement itself carried the limit for the server.
  bool limited = false;
  for (const auto& request : server.requests()) {
    if (request.body == "SELECT sleep_forever") limited = query_params(request.query)["max_execution_time"] == "1";
  }
  EXPECT_TRUE(limited);
  EXPECT_EQ(connection.execute("SELECT 1").fetchall()[0][0], 1);
}

}  // namespace
}  // namespace velko
