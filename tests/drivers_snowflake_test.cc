// The Snowflake driver against a local server that speaks the SQL API v2:
// POST /api/v2/statements?async=true answered 202 with a statement handle, polling
// GET /api/v2/statements/{handle} (202 while running, 200 with a ResultSet, 422 with a
// QueryFailureStatus), partitions, cancel, and 401 for an ordinary password.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "tests/support/error_cases.h"
#include "tests/support/http_test_server.h"
#include "tests/support/velko_cli.h"
#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/platform/sql/url.h"
#include "velko/platform/sql_remote/drivers.h"

namespace velko {
namespace {

using platform::sql::ExecuteOptions;
using test_support::HttpTestServer;
using test_support::RecordedRequest;
using test_support::ScriptedResponse;
using ::testing::HasSubstr;
using ::testing::Not;

// Distinctive, so that any leak into an output is found.
constexpr const char* kToken = "pat-SECRET-7f3a9c1e5b";
constexpr const char* kStatements = "/api/v2/statements";

ScriptedResponse json(const Json& body, int status = 200) {
  ScriptedResponse response;
  response.status = status;
  response.body = body.dump();
  return response;
}

Json running(const std::string& handle) {
  return {{"code", "333334"},
          {"message",
           "Asynchronous execution in progress. Use provided query id to perform query monitoring and "
           "management."},
          {"statementHandle", handle},
          {"statementStatusUrl", std::string(kStatements) + "/" + handle}};
}

Json column(const std::string& name, const std::string& type, int scale = 0) {
  return {{"name", name}, {"type", type}, {"scale", scale}, {"precision", 38}, {"nullable", true}};
}

Json result_set(const std::string& handle, const Json& row_type, const Json& data, int partitions = 1,
                long long total = -1) {
  Json info = Json::array();
  for (int idx = 0; idx < partitions; ++idx) info.push_back({{"rowCount", data.size()}, {"uncompressedSize", 100}});
  return {{"resultSetMetaData",
           {{"numRows", total >= 0 ? total : static_cast<long long>(data.size())},
            {"format", "jsonv2"},
            {"rowType", row_type},
            {"partitionInfo", info}}},
          {"data", data},
          {"code", "090001"},
          {"statementHandle", handle},
          {"sqlState", "00000"},
          {"message", "Statement executed successfully."}};
}

Json numbers(int from, int count) {
  Json data = Json::array();
  for (int idx = from; idx < from + count; ++idx) data.push_back({std::to_string(idx)});
  return data;
}

class SnowflakeDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    driver_ = platform::sql_remote::make_snowflake_driver({.first_poll = std::chrono::milliseconds(5),
                                                           .longest_poll = std::chrono::milliseconds(20),
                                                           .request_timeout_seconds = 5});
    server_.handle("POST", kStatements, [this](const RecordedRequest& request) { return post(request); });
    // "SELECT types": one more poll, then the result.
    server_.enqueue("GET", handle_path("h-types"), json(running("h-types"), 202));
    server_.respond(
        "GET", handle_path("h-types"),
        json(result_set(
            "h-types",
            Json::array({column("I", "fixed"), column("DEC", "fixed", 2), column("R", "real"), column("T", "text"),
                         column("B", "boolean"), column("D", "date"), column("TM", "time", 9),
                         column("NTZ", "timestamp_ntz", 9), column("LTZ", "timestamp_ltz", 9),
                         column("TZ", "timestamp_tz", 9), column("V", "variant"), column("O", "object"),
                         column("A", "array"), column("BIN", "binary"), column("N", "text")}),
            Json::array({{"9007199254740993", "12.30", "2.5", "caf\xc3\xa9", "true", "19737", "37800.123456789",
                          "1705314600.123456000", "1705314600.000000000", "1705314600.000000000 1320",
                          "{\n  \"k\": [1, 2]\n}", "{\"a\": null}", "[1, \"x\"]", "CAFE", nullptr}}))));
    // "SELECT parts": three partitions of 30 rows.
    server_.handle("GET", handle_path("h-parts"), [](const RecordedRequest& request) {
      if (request.query == "partition=1") return json({{"data", numbers(30, 30)}});
      if (request.query == "partition=2") return json({{"data", numbers(60, 30)}});
      return json(result_set("h-parts", Json::array({column("N", "fixed")}), numbers(0, 30), 3, 90));
    });
    server_.respond("GET", handle_path("h-forever"), json(running("h-forever"), 202));
    server_.respond(
        "POST", handle_path("h-forever") + "/cancel",
        json({{"code", "000604"}, {"message", "SQL execution canceled"}, {"statementHandle", "h-forever"}}));
    server_.respond(
        "GET", handle_path("h-error"),
        json({{"code", "000904"},
              {"message", "SQL compilation error: error line 1 at position 7\ninvalid identifier 'MISSING'"},
              {"sqlState", "42000"},
              {"statementHandle", "h-error"}},
             422));
    server_.respond(
        "GET", handle_path("h-echo"),
        json({{"code", "000603"}, {"message", std::string("internal: token ") + kToken}, {"sqlState", "XX000"}}, 422));
  }

  static std::string handle_path(const std::string& handle) { return std::string(kStatements) + "/" + handle; }

  ScriptedResponse post(const RecordedRequest& request) {
    if (request.header("Authorization") != std::string("Bearer ") + kToken ||
        request.header("X-Snowflake-Authorization-Token-Type") != std::string("PROGRAMMATIC_ACCESS_TOKEN")) {
      return json({{"code", "390303"}, {"message", "Invalid OAuth access token. "}}, 401);
    }
    Json body = Json::parse(request.body);
    std::string sql = body["statement"];
    if (sql == "SELECT CURRENT_VERSION()") {
      return json(result_set("h-version", Json::array({column("V", "text")}), Json::array({{"8.40.1"}})));
    }
    if (sql.starts_with("SELECT types")) return json(running("h-types"), 202);
    if (sql.starts_with("SELECT parts")) return json(running("h-parts"), 202);
    if (sql.starts_with("SELECT forever")) return json(running("h-forever"), 202);
    if (sql.starts_with("SELECT missing")) return json(running("h-error"), 202);
    if (sql.starts_with("SELECT echo")) return json(running("h-echo"), 202);
    if (sql.find("information_schema.schemata") != std::string::npos) {
      return json(result_set("h-s", Json::array({column("SCHEMA_NAME", "text")}),
                             Json::array({{"PUBLIC"}, {"INFORMATION_SCHEMA"}, {"ANALYTICS"}})));
    }
    if (sql.find("information_schema.tables") != std::string::npos) {
      if (body["bindings"]["1"]["value"] != "public") return json(result_set("h-t", Json::array(), Json::array()));
      return json(
          result_set("h-t", Json::array({column("TABLE_NAME", "text")}), Json::array({{"ORDERS"}, {"CUSTOMERS"}})));
    }
    if (sql.find("information_schema.columns") != std::string::npos) {
      Json rows = Json::array();
      if (body["bindings"]["1"]["value"] == "public" && body["bindings"]["2"]["value"] == "orders") {
        rows =
            Json::array({{"ID", "NUMBER", "NO", "38", "0", nullptr}, {"NOTE", "TEXT", "YES", nullptr, nullptr, "200"}});
      }
      return json(
          result_set("h-c",
                     Json::array({column("COLUMN_NAME", "text"), column("DATA_TYPE", "text"),
                                  column("IS_NULLABLE", "text"), column("NUMERIC_PRECISION", "fixed"),
                                  column("NUMERIC_SCALE", "fixed"), column("CHARACTER_MAXIMUM_LENGTH", "fixed")}),
                     rows));
    }
    return json({{"code", "001003"}, {"message", "SQL compilation error: no script for " + sql}, {"sqlState", "42000"}},
                422);
  }

  std::string url(const std::string& token = kToken) const {
    return "snowflake://analyst:" + token + "@myorg-acct1/SALES/PUBLIC?warehouse=COMPUTE_WH&role=ANALYST";
  }

  std::unique_ptr<platform::sql::DriverConnection> connect(const std::string& token = kToken) {
    return driver_->connect(platform::sql::make_url(url(token)));
  }

  size_t posts() const {
    size_t count = 0;
    for (const auto& request : server_.requests()) count += request.method == "POST" ? 1 : 0;
    return count;
  }

  HttpTestServer server_;
  base::ScopedEnv base_url_{platform::sql_remote::SNOWFLAKE_URL_ENV, server_.url()};
  std::shared_ptr<platform::sql::Driver> driver_;
};

TEST_F(SnowflakeDriverTest, ValuesAreTypedFromTheRowTypeAfterPolling) {
  auto connection = connect();
  platform::sql::Result result = connection->execute("SELECT types", ExecuteOptions{.max_rows = 50});
  ASSERT_EQ(result.fetchall().size(), 1u);
  const auto& row = result.fetchall()[0];
  EXPECT_EQ(result.keys()[0], "I");
  EXPECT_EQ(row[0], Json(9007199254740993LL));
  EXPECT_EQ(row[1], "12.30");
  EXPECT_EQ(row[2], 2.5);
  EXPECT_EQ(row[3], "caf\xc3\xa9");
  EXPECT_EQ(row[4], true);
  EXPECT_EQ(row[5], "2024-01-15");
  EXPECT_EQ(row[6], "10:30:00.123456");
  EXPECT_EQ(row[7], "2024-01-15 10:30:00.123456");
  EXPECT_EQ(row[8], "2024-01-15 10:30:00+00:00");
  EXPECT_EQ(row[9], "2024-01-15 08:30:00-02:00");  // offset 1320 - 1440 = -120 minutes
  EXPECT_EQ(row[10], (Json{{"k", {1, 2}}}));
  EXPECT_EQ(row[11], (Json{{"a", nullptr}}));
  EXPECT_EQ(row[12], Json::array({1, "x"}));
  EXPECT_EQ(row[13], "CAFE");
  EXPECT_TRUE(row[14].is_null());
  EXPECT_FALSE(result.truncated());

  // The request as the SQL API documents it.
  RecordedRequest sent;
  for (const auto& request : server_.requests()) {
    if (request.method == "POST" && request.body.find("SELECT types") != std::string::npos) sent = request;
  }
  EXPECT_EQ(sent.query, "async=true");
  EXPECT_EQ(sent.header("Accept"), "application/json");
  Json body = Json::parse(sent.body);
  EXPECT_EQ(body["warehouse"], "COMPUTE_WH");
  EXPECT_EQ(body["role"], "ANALYST");
  EXPECT_EQ(body["database"], "SALES");
  EXPECT_EQ(body["schema"], "PUBLIC");
  EXPECT_EQ(body["parameters"]["MULTI_STATEMENT_COUNT"], "1");
  size_t polls = 0;
  for (const auto& request : server_.requests()) polls += request.path == handle_path("h-types") ? 1 : 0;
  EXPECT_EQ(polls, 2u);
}

TEST_F(SnowflakeDriverTest, PartitionsAreFetchedOnlyWhileFewerRowsThanTheCapAreInHand) {
  auto connection = connect();
  platform::sql::Result capped = connection->execute("SELECT parts", ExecuteOptions{.max_rows = 50});
  EXPECT_EQ(capped.fetchall().size(), 50u);
  EXPECT_EQ(capped.fetchall()[49][0], 49);
  EXPECT_TRUE(capped.truncated());
  std::vector<std::string> partitions;
  for (const auto& request : server_.requests()) {
    if (request.path == handle_path("h-parts") && !request.query.empty()) partitions.push_back(request.query);
  }
  EXPECT_EQ(partitions, std::vector<std::string>({"partition=1"}));

  platform::sql::Result all = connection->execute("SELECT parts", ExecuteOptions{});
  EXPECT_EQ(all.fetchall().size(), 90u);
  EXPECT_FALSE(all.truncated());
}

TEST_F(SnowflakeDriverTest, TimeOutAndCancellationCancelTheStatementOnTheServer) {
  auto connection = connect();
  auto started = std::chrono::steady_clock::now();
  try {
    connection->execute("SELECT forever", ExecuteOptions{.max_rows = 50, .timeout = std::chrono::milliseconds(300)});
    ADD_FAILURE() << "the statement must time out";
  } catch (const base::TimeoutError& error) {
    EXPECT_THAT(error.what(), HasSubstr("timed out after 0.3 seconds"));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  auto cancels = [this] {
    size_t count = 0;
    for (const auto& request : server_.requests()) count += request.path == handle_path("h-forever") + "/cancel";
    return count;
  };
  EXPECT_EQ(cancels(), 1u);
  // Snowflake's own limit travels with the statement.
  for (const auto& request : server_.requests()) {
    if (request.body.find("SELECT forever") != std::string::npos) {
      EXPECT_EQ(Json::parse(request.body)["timeout"], 1);
    }
  }

  auto signal = std::make_shared<base::CancelSignal>();
  std::thread canceller([signal] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    signal->cancel();
  });
  EXPECT_THROW(connection->execute("SELECT forever", ExecuteOptions{.cancel = signal}), base::CancelledError);
  canceller.join();
  EXPECT_EQ(cancels(), 2u);
  // The connection answers the next statement.
  EXPECT_EQ(connection->execute("SELECT types", {}).fetchall().size(), 1u);
}

TEST_F(SnowflakeDriverTest, FailuresCarrySnowflakesMessageAndNeverTheToken) {
  try {
    connect("an-ordinary-password");
    ADD_FAILURE() << "the login must fail";
  } catch (const base::DatabaseError& error) {
    EXPECT_THAT(error.what(), HasSubstr("HTTP 401"));
    EXPECT_THAT(error.what(), HasSubstr("programmatic access token in place of the password"));
    EXPECT_THAT(error.what(), Not(HasSubstr("an-ordinary-password")));
  }
  auto connection = connect();
  try {
    connection->execute("SELECT missing FROM orders", {});
    ADD_FAILURE() << "the statement must fail";
  } catch (const base::DatabaseError& error) {
    EXPECT_THAT(error.what(), HasSubstr("invalid identifier 'MISSING'"));
    EXPECT_THAT(error.what(), HasSubstr("SQL state 42000"));
  }
  try {
    connection->execute("SELECT echo", {});
    ADD_FAILURE() << "the statement must fail";
  } catch (const base::DatabaseError& error) {
    EXPECT_THAT(error.what(), Not(HasSubstr(kToken)));
    EXPECT_THAT(error.what(), HasSubstr("internal: token ***"));
  }
}

// A proxy's error page, a body that is not JSON, a page whose rows do not match its
// columns, a running statement without a handle, a body cut off mid-answer: each is a
// DatabaseError that says what went wrong, and the connection answers the next call.
TEST_F(SnowflakeDriverTest, AnswersTheDriverCannotReadAreClearErrors) {
  server_.handle("POST", kStatements, [this](const RecordedRequest& request) {
    std::string sql = Json::parse(request.body)["statement"];
    if (sql == "SELECT html") return ScriptedResponse::text("<html><body>Bad gateway</body></html>", 502, "text/html");
    if (sql == "SELECT garbage") return ScriptedResponse::json("{\"data\": [[\"1\"");
    if (sql == "SELECT list") return ScriptedResponse::json("[1, 2, 3]");
    if (sql == "SELECT wide") {
      return json(result_set("h-w", Json::array({column("A", "fixed")}), Json::array({{"1", "2"}})));
    }
    if (sql == "SELECT flat") return json(result_set("h-f", Json::array({column("A", "fixed")}), Json::array({"1"})));
    if (sql == "SELECT nohandle") return json({{"code", "333334"}, {"message", "running"}}, 202);
    if (sql == "SELECT cut") return test_support::cut_off_json("{\"resultSetMetaData\": {\"rowType\": [");
    return post(request);
  });
  auto connection = connect();
  test_support::expect_database_errors(
      [&](const std::string& sql) { connection->execute(sql, {}); },
      {
          {"SELECT html", "Snowflake answered HTTP 502"},
          {"SELECT garbage", "Snowflake sent an answer this driver cannot read (HTTP 200)"},
          {"SELECT list", "Snowflake sent an answer this driver cannot read (HTTP 200)"},
          {"SELECT wide", "Snowflake sent a row that does not match the result's columns"},
          {"SELECT flat", "Snowflake sent a row that does not match the result's columns"},
          {"SELECT nohandle", "Snowflake sent no statement handle for a running statement"},
          {"SELECT cut", "The exchange with Snowflake failed"},
      },
      kToken);
  EXPECT_EQ(connection->execute("SELECT types", {}).fetchall().size(), 1u);
}

TEST_F(SnowflakeDriverTest, StatementsThatDoNotReadAreRefusedBeforeAnythingIsSent) {
  auto connection = connect();
  size_t before = posts();
  for (const char* sql :
       {"DELETE FROM orders", "CREATE TABLE t (a INT)", "DROP TABLE orders", "SELECT 1; DROP TABLE orders",
        "WITH a AS (SELECT 1) INSERT INTO t SELECT * FROM a", "GRANT ROLE ANALYST TO USER eve", "CALL wipe()",
        "PUT file:///etc/passwd @stage", "ALTER USER analyst SET PASSWORD = 'x'", "USE ROLE ACCOUNTADMIN",
        "EXPLAIN DELETE FROM t", "COPY INTO @stage FROM orders", ""}) {
    EXPECT_THROW(connection->execute(sql, {}), base::DatabaseError) << sql;
  }
  EXPECT_EQ(posts(), before);
}

TEST_F(SnowflakeDriverTest, InspectionReadsTheInformationSchemaWithBindings) {
  auto connection = connect();
  EXPECT_EQ(connection->list_schemas({}), std::vector<std::string>({"ANALYTICS", "INFORMATION_SCHEMA", "PUBLIC"}));
  EXPECT_EQ(connection->list_tables("public", {}), std::vector<std::string>({"CUSTOMERS", "ORDERS"}));
  EXPECT_TRUE(connection->list_tables("nope", {}).empty());
  auto columns = connection->get_columns("public", "orders", {});
  ASSERT_EQ(columns.size(), 2u);
  EXPECT_EQ(columns[0].name, "ID");
  EXPECT_EQ(columns[0].type, "NUMBER(38,0)");
  EXPECT_FALSE(columns[0].nullable);
  EXPECT_EQ(columns[1].type, "VARCHAR(200)");
  EXPECT_TRUE(columns[1].nullable);
  try {
    connection->get_columns("public", "nope", {});
    ADD_FAILURE();
  } catch (const base::DatabaseError& error) {
    EXPECT_STREQ(error.what(), "Table 'public.nope' not found");
  }
}

TEST_F(SnowflakeDriverTest, AddressesAreCheckedBeforeTheTokenIsSent) {
  for (const char* address : {"http://example.com:8080", "http://127.0.0.1.example.com", "ftp://127.0.0.1/"}) {
    base::ScopedEnv plain(platform::sql_remote::SNOWFLAKE_URL_ENV, address);
    try {
      connect();
      ADD_FAILURE() << address;
    } catch (const base::DatabaseError& error) {
      EXPECT_THAT(error.what(), HasSubstr("must be an https URL")) << address;
    }
  }
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(SnowflakeDriverTest, TheToolsAnswerThroughTheVelkoCommand) {
  testing::VelkoCli velko;
  testing::CliOutput added =
      velko.run({"connections", "add", "sf", "--type", "SNOWFLAKE", "--host", "myorg-acct1", "--username", "analyst",
                 "--warehouse", "COMPUTE_WH", "--database", "SALES", "--password-stdin"},
                std::string(kToken) + "\n");
  ASSERT_EQ(added.status, 0) << added.err;
  std::vector<testing::CliOutput> outputs = {
      added,
      velko.run({"connections", "list"}),
      velko.run({"tool", "list_schemas_tool"}),
      velko.run({"tool", "list_tables_tool", "--args", R"({"db_schema": "public"})"}),
      velko.run({"tool", "get_table_columns_tool", "--args", R"({"db_schema": "public", "table_names": "orders"})"}),
      velko.run({"tool", "execute_sql_query", "--args", R"({"query": "SELECT types"})"}),
      velko.run({"tool", "execute_sql_query", "--args", R"({"query": "SELECT parts"})"}),
      velko.run({"tool", "execute_sql_query", "--args", R"({"query": "DROP TABLE orders"})"}),
      velko.run({"tool", "execute_sql_query", "--args", R"({"query": "SELECT echo"})"}),
  };
  EXPECT_THAT(outputs[2].out, HasSubstr("ANALYTICS"));
  EXPECT_THAT(outputs[3].out, HasSubstr("ORDERS"));
  EXPECT_THAT(outputs[4].out, HasSubstr("NUMBER(38,0)"));
  EXPECT_THAT(outputs[5].out, HasSubstr("\"2024-01-15 08:30:00-02:00\""));
  Json parts = base::loads(outputs[6].out);
  EXPECT_EQ(parts["rows"].size(), 50u);
  EXPECT_THAT(outputs[7].out, HasSubstr("Error executing query: Only statements that read data"));
  EXPECT_THAT(outputs[8].out, HasSubstr("Error executing query:"));
  for (const auto& output : outputs) {
    EXPECT_THAT(output.out + output.err, Not(HasSubstr(kToken)));
  }
}

}  // namespace
}  // namespace velko
