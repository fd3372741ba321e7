// The Databricks driver against a local server that speaks the SQL Statement Execution
// API 2.0: POST /api/2.0/sql/statements/, polling while PENDING or RUNNING, SUCCEEDED
// with a manifest and INLINE JSON_ARRAY chunks, FAILED with status.error, cancel.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <string>
#include <thread>

#include "tests/support/error_cases.h"
#include "tests/support/http_test_server.h"
#include "velko/base/cancel.h"
#include "velko/base/errors.h"
#include "velko/databases/databricks/databricks_engine.h"
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

constexpr const char* kToken = "dapi0123456789abcdef";
constexpr const char* kStatements = "/api/2.0/sql/statements/";

ScriptedResponse json(const Json& body, int status = 200) {
  ScriptedResponse response;
  response.status = status;
  response.body = body.dump();
  return response;
}

Json column(const std::string& name, const std::string& type_name, int position) {
  return {{"name", name}, {"type_text", type_name}, {"type_name", type_name}, {"position", position}};
}

Json succeeded(const std::string& id, const Json& columns, const Json& data, const Json& extra_result = Json::object(),
               bool truncated = false) {
  Json result = {{"chunk_index", 0}, {"row_offset", 0}, {"row_count", data.size()}, {"data_array", data}};
  result.update(extra_result);
  return {{"statement_id", id},
          {"status", {{"state", "SUCCEEDED"}}},
          {"manifest",
           {{"format", "JSON_ARRAY"},
            {"schema", {{"column_count", columns.size()}, {"columns", columns}}},
            {"truncated", truncated}}},
          {"result", result}};
}

Json state(const std::string& id, const std::string& name) {
  return {{"statement_id", id}, {"status", {{"state", name}}}};
}

class DatabricksDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::sql_remote::register_remote_drivers();
    platform::sql::register_driver(
        "databricks", platform::sql_remote::make_databricks_driver({.use_https = false,
                                                                    .first_poll = std::chrono::milliseconds(5),
                                                                    .longest_poll = std::chrono::milliseconds(20),
                                                                    .timeout_seconds = 1,
                                                                    .request_timeout_seconds = 5}));
    databases::databricks::clear_engine_cache();
    server_.handle("GET", "/api/2.0/sql/warehouses/wh1", [](const RecordedRequest& request) {
      if (request.header("Authorization") != std::string("Bearer ") + kToken) {
        return json({{"error_code", "UNAUTHENTICATED"}, {"message", "Invalid access token."}}, 401);
      }
      return json({{"id", "wh1"}, {"state", "RUNNING"}});
    });
    server_.handle("POST", kStatements, [this](const RecordedRequest& request) { return post(request); });
    // A statement that runs for a while: PENDING, RUNNING, RUNNING, then SUCCEEDED.
    server_.enqueue("GET", std::string(kStatements) + "st-slow", json(state("st-slow", "RUNNING")));
    server_.enqueue("GET", std::string(kStatements) + "st-slow", json(state("st-slow", "RUNNING")));
    server_.respond("GET", std::string(kStatements) + "st-slow",
                    json(succeeded("st-slow", Json::array({column("x", "INT", 0)}), Json::array({{"42"}}))));
    server_.respond("GET", std::string(kStatements) + "st-forever", json(state("st-forever", "RUNNING")));
    server_.respond("POST", std::string(kStatements) + "st-forever/cancel", json(Json::object()));
    // Chunked result: 3 chunks of 2 rows.
    for (int chunk = 1; chunk <= 2; ++chunk) {
      Json body = {{"chunk_index", chunk},
                   {"row_offset", chunk * 2},
                   {"row_count", 2},
                   {"data_array", Json::array({{std::to_string(chunk * 2)}, {std::to_string(chunk * 2 + 1)}})}};
      if (chunk == 1) body["next_chunk_internal_link"] = std::string(kStatements) + "st-chunks/result/chunks/2";
      server_.respond("GET", std::string(kStatements) + "st-chunks/result/chunks/" + std::to_string(chunk), json(body));
    }
  }
  void TearDown() override {
    platform::sql::register_driver("databricks", platform::sql_remote::make_databricks_driver());
    databases::databricks::clear_engine_cache();
  }

  ScriptedResponse post(const RecordedRequest& request) {
    if (request.header("Authorization") != std::string("Bearer ") + kToken) {
      return json({{"error_code", "UNAUTHENTICATED"}, {"message", "Invalid access token."}}, 401);
    }
    Json body = Json::parse(request.body);
    std::string sql = body["statement"];
    if (sql == "SELECT types") {
      return json(succeeded(
          "st-types",
          Json::array({column("i", "INT", 0), column("l", "LONG", 1), column("d", "DOUBLE", 2),
                       column("nan", "DOUBLE", 3), column("b", "BOOLEAN", 4), column("dec", "DECIMAL", 5),
                       column("day", "DATE", 6), column("ts", "TIMESTAMP", 7), column("ntz", "TIMESTAMP_NTZ", 8),
                       column("arr", "ARRAY", 9), column("s", "STRING", 10), column("n", "STRING", 11)}),
          Json::array({{"7", "9007199254740993", "2.5", "NaN", "true", "12.30", "2024-01-15",
                        "2024-01-15T10:30:00.123Z", "2024-01-15T10:30:00", "[1,2]", "caf\xc3\xa9", nullptr}})));
    }
    if (sql == "SELECT slow") return json(state("st-slow", "PENDING"));
    if (sql == "SELECT forever") return json(state("st-forever", "RUNNING"));
    if (sql == "SELECT chunks") {
      return json(succeeded("st-chunks", Json::array({column("n", "INT", 0)}), Json::array({{"0"}, {"1"}}),
                            {{"next_chunk_index", 1},
                             {"next_chunk_internal_link", std::string(kStatements) + "st-chunks/result/chunks/1"}}));
    }
    if (sql == "SELECT capped") {
      // row_limit reached: the server trims and says so in the manifest.
      return json(succeeded("st-capped", Json::array({column("n", "INT", 0)}), Json::array({{"0"}, {"1"}}),
                            Json::object(), true));
    }
    if (sql == "SELECT missing_column") {
      return json({{"statement_id", "st-failed"},
                   {"status",
                    {{"state", "FAILED"},
                     {"error",
                      {{"error_code", "BAD_REQUEST"},
                       {"message",
                        "[UNRESOLVED_COLUMN.WITHOUT_SUGGESTION] A column with name `missing_column` cannot "
                        "be resolved. SQLSTATE: 42703"}}}}}});
    }
    if (sql == "SELECT FROM WHERE") {
      return json({{"error_code", "INVALID_PARAMETER_VALUE"},
                   {"message", "[PARSE_SYNTAX_ERROR] Syntax error at or near 'WHERE'. SQLSTATE: 42601"}},
                  400);
    }
    if (sql == "SELECT canceled") return json(state("st-c", "CANCELED"));
    if (sql == "SHOW SCHEMAS") {
      return json(succeeded("st-s", Json::array({column("databaseName", "STRING", 0)}),
                            Json::array({{"sales"}, {"default"}, {"information_schema"}})));
    }
    if (sql == "SHOW TABLES IN `sales`") {
      return json(succeeded(
          "st-t",
          Json::array(
              {column("database", "STRING", 0), column("tableName", "STRING", 1), column("isTemporary", "BOOLEAN", 2)}),
          Json::array({{"sales", "orders", "false"}, {"sales", "customers", "false"}, {"", "tmp_view", "true"}})));
    }
    if (sql == "SHOW TABLES IN `nope`") {
      return json(
          {{"statement_id", "st-f"},
           {"status",
            {{"state", "FAILED"}, {"error", {{"message", "[SCHEMA_NOT_FOUND] The schema `nope` cannot be found."}}}}}});
    }
    if (sql.find("information_schema.columns") != std::string::npos) {
      std::map<std::string, std::string> params;
      for (const auto& param : body["parameters"]) params[param["name"]] = param["value"];
      if (params["schema"] == "sales" && params["table"] == "orders") {
        return json(succeeded("st-c",
                              Json::array({column("column_name", "STRING", 0), column("full_data_type", "STRING", 1),
                                           column("is_nullable", "STRING", 2)}),
                              Json::array({{"id", "bigint", "NO"}, {"amount", "decimal(10,2)", "YES"}})));
      }
      return json(succeeded("st-c",
                            Json::array({column("column_name", "STRING", 0), column("full_data_type", "STRING", 1),
                                         column("is_nullable", "STRING", 2)}),
                            Json::array()));
    }
    if (sql == "DESCRIBE TABLE `legacy`.`events`") {
      return json(succeeded("st-d",
                            Json::array({column("col_name", "STRING", 0), column("data_type", "STRING", 1),
                                         column("comment", "STRING", 2)}),
                            Json::array({{"ts", "timestamp", nullptr},
                                         {"payload", "struct<a:int>", nullptr},
                                         {"# Partition Information", "", ""},
                                         {"ts", "timestamp", nullptr}})));
    }
    if (sql.starts_with("DESCRIBE TABLE")) {
      return json({{"statement_id", "st-f"},
                   {"status",
                    {{"state", "FAILED"},
                     {"error", {{"message", "[TABLE_OR_VIEW_NOT_FOUND] The table or view cannot be found."}}}}}});
    }
    if (sql == "SELECT echo") {
      return json({{"error_code", "INTERNAL_ERROR"}, {"message", std::string("token was ") + kToken}}, 500);
    }
    return json({{"error_code", "NOT_FOUND"}, {"message", "no script for: " + sql}}, 404);
  }

  std::shared_ptr<platform::sql::Engine> engine(const std::string& token = kToken) {
    return databases::databricks::create_databricks_engine(databases::databricks::DatabricksEngineArgs{
        "http://127.0.0.1:" + std::to_string(server_.port()) + "/", "/sql/1.0/warehouses/wh1", token, "main", "sales"});
  }

  std::string error_of(const std::string& sql, const std::string& token = kToken) {
    try {
      engine(token)->connect().execute(sql);
    } catch (const base::DatabaseError& error) {
      return error.what();
    }
    return "";
  }

  // How many cancel calls reached the server for statement `id`.
  int cancel_requests(const std::string& id) const {
    int count = 0;
    for (const auto& request : server_.requests()) {
      count += request.method == "POST" && request.path == std::string(kStatements) + id + "/cancel";
    }
    return count;
  }

  std::vector<Json> posted_statements() const {
    std::vector<Json> out;
    for (const auto& request : server_.requests()) {
      if (request.method == "POST" && request.path == kStatements) out.push_back(Json::parse(request.body));
    }
    return out;
  }

  HttpTestServer server_;
};

TEST_F(DatabricksDriverTest, PostsTheStatementAndConvertsTypes) {
  auto connection = engine()->connect();
  platform::sql::Result result = connection.execute("SELECT types;", ExecuteOptions{.max_rows = 50});
  ASSERT_EQ(result.fetchall().size(), 1u);
  const auto& row = result.fetchall()[0];
  EXPECT_EQ(result.keys(),
            (std::vector<std::string>{"i", "l", "d", "nan", "b", "dec", "day", "ts", "ntz", "arr", "s", "n"}));
  EXPECT_EQ(row[0], 7);
  EXPECT_EQ(row[1].get<int64_t>(), 9007199254740993LL);
  EXPECT_EQ(row[2], 2.5);
  EXPECT_TRUE(std::isnan(row[3].get<double>()));
  EXPECT_EQ(row[4], true);
  EXPECT_EQ(row[5], "12.30");
  EXPECT_EQ(row[6], "2024-01-15");
  EXPECT_EQ(row[7], "2024-01-15 10:30:00.123000+00:00");
  EXPECT_EQ(row[8], "2024-01-15 10:30:00");
  EXPECT_EQ(row[9], Json::array({1, 2}));
  EXPECT_EQ(row[10], "caf\xc3\xa9");
  EXPECT_TRUE(row[11].is_null());
  EXPECT_FALSE(result.truncated());

  auto requests = server_.requests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "GET");  // the connection check, which does not start the warehouse
  EXPECT_EQ(requests[0].path, "/api/2.0/sql/warehouses/wh1");
  const RecordedRequest& post = requests[1];
  EXPECT_EQ(post.header("Authorization"), std::string("Bearer ") + kToken);
  Json sent = Json::parse(post.body);
  EXPECT_EQ(sent["statement"], "SELECT types");
  EXPECT_EQ(sent["warehouse_id"], "wh1");
  EXPECT_EQ(sent["catalog"], "main");
  EXPECT_EQ(sent["schema"], "sales");
  EXPECT_EQ(sent["disposition"], "INLINE");
  EXPECT_EQ(sent["format"], "JSON_ARRAY");
  EXPECT_EQ(sent["on_wait_timeout"], "CONTINUE");
  EXPECT_EQ(sent["wait_timeout"], "10s");
  EXPECT_EQ(sent["row_limit"], 50);
  for (const auto& request : requests) EXPECT_THAT(request.path + "?" + request.query, Not(HasSubstr(kToken)));
}

TEST_F(DatabricksDriverTest, PollsRunningStatementsAndFollowsChunksUpToTheCap) {
  auto connection = engine()->connect();
  EXPECT_EQ(connection.execute("SELECT slow").fetchall()[0][0], 42);
  int polls = 0;
  for (const auto& request : server_.requests()) polls += request.path == std::string(kStatements) + "st-slow";
  EXPECT_EQ(polls, 3);  // RUNNING, RUNNING, SUCCEEDED

  platform::sql::Result all = connection.execute("SELECT chunks");
  ASSERT_EQ(all.fetchall().size(), 6u);
  for (int idx = 0; idx < 6; ++idx) EXPECT_EQ(all.fetchall()[idx][0], idx);
  EXPECT_FALSE(all.truncated());

  server_.clear_requests();
  platform::sql::Result capped = connection.execute("SELECT chunks", ExecuteOptions{.max_rows = 3});
  EXPECT_EQ(capped.fetchall().size(), 3u);
  EXPECT_TRUE(capped.truncated());
  int chunk_fetches = 0;
  for (const auto& request : server_.requests())
    chunk_fetches += request.path.find("/result/chunks/") != std::string::npos;
  EXPECT_EQ(chunk_fetches, 1);  // chunk 2 is never fetched once the cap is reached

  platform::sql::Result trimmed = connection.execute("SELECT capped", ExecuteOptions{.max_rows = 2});
  EXPECT_EQ(trimmed.fetchall().size(), 2u);
  EXPECT_TRUE(trimmed.truncated());  // the manifest says the server trimmed it
}

TEST_F(DatabricksDriverTest, TimeOutCancelsTheStatement) {
  auto started = std::chrono::steady_clock::now();
  std::string text;
  try {
    engine()->connect().execute("SELECT forever");
  } catch (const base::TimeoutError& error) {
    text = error.what();
  }
  EXPECT_EQ(text, "Query timed out after 1 second");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_EQ(cancel_requests("st-forever"), 1);
}

// The call's own limit and its cancel signal stop the statement with its cancel call;
// the POST does not wait for the statement then, so neither waits for wait_timeout.
TEST_F(DatabricksDriverTest, TheCallsLimitAndCancelSignalStopTheStatementOnTheServer) {
  auto connection = engine()->connect();
  auto started = std::chrono::steady_clock::now();
  try {
    connection.execute("SELECT forever", ExecuteOptions{.timeout = std::chrono::milliseconds(300)});
    ADD_FAILURE() << "the statement must time out";
  } catch (const base::TimeoutError& error) {
    EXPECT_THAT(error.what(), HasSubstr("timed out after 0.3 seconds"));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  EXPECT_EQ(posted_statements().back()["wait_timeout"], "0s");
  EXPECT_EQ(cancel_requests("st-forever"), 1);

  auto signal = std::make_shared<base::CancelSignal>();
  std::thread canceller([signal] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    signal->cancel();
  });
  started = std::chrono::steady_clock::now();
  EXPECT_THROW(connection.execute("SELECT forever", ExecuteOptions{.cancel = signal}), base::CancelledError);
  canceller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  EXPECT_EQ(cancel_requests("st-forever"), 2);
  // A signal that already fired sends nothing.
  size_t sent = server_.requests().size();
  EXPECT_THROW(connection.execute("SELECT types", ExecuteOptions{.cancel = signal}), base::CancelledError);
  EXPECT_EQ(server_.requests().size(), sent);
  // The connection still serves the next call.
  EXPECT_EQ(connection.execute("SELECT types").fetchall().size(), 1u);
}

TEST_F(DatabricksDriverTest, ErrorsAndRefusalsCarryNoToken) {
  struct Case {
    std::string sql;
    std::string token;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"SELECT 1", "dapi-wrong-token-99", "UNAUTHENTICATED: Invalid access token."},
      {"SELECT missing_column", kToken, "[UNRESOLVED_COLUMN.WITHOUT_SUGGESTION] A column with name `missing_column`"},
      {"SELECT FROM WHERE", kToken, "INVALID_PARAMETER_VALUE: [PARSE_SYNTAX_ERROR] Syntax error at or near 'WHERE'"},
      {"SELEC 1", kToken, "Only statements that read data can be run here"},
      {"SELECT canceled", kToken, "The statement was cancelled"},
      {"SELECT echo", kToken, "token was ***"},
      {"SELECT 1; SELECT 2", kToken, "You can only execute one statement at a time."},
      {"DROP TABLE orders", kToken, "Only statements that read data can be run here"},
      {"INSERT INTO orders VALUES (1)", kToken, "Only statements that read data can be run here"},
      {"WITH x AS (SELECT 1) INSERT INTO t SELECT * FROM x", kToken, "Only statements that read data can be run here"},
      {"FROM src INSERT OVERWRITE TABLE t SELECT *", kToken, "Only statements that read data can be run here"},
  };
  for (const auto& c : cases) {
    std::string text = error_of(c.sql, c.token);
    EXPECT_THAT(text, HasSubstr(c.expected)) << c.sql;
    EXPECT_THAT(text, Not(HasSubstr(c.token))) << c.sql;
    EXPECT_THAT(text, Not(HasSubstr(kToken))) << c.sql;
  }
  for (const auto& sent : posted_statements()) {
    std::string sql = sent["statement"];
    EXPECT_FALSE(sql.starts_with("DROP") || sql.find("INSERT") != std::string::npos ||
                 sql.find("SELECT 2") != std::string::npos)
        << sql;
  }
  // Reads that merely mention the words are sent.
  EXPECT_THAT(error_of("SELECT replace(note, 'a', 'b'), t.update FROM t"), HasSubstr("no script for"));
  EXPECT_THAT(error_of("SHOW CREATE TABLE orders"), HasSubstr("no script for"));
}

// A proxy's error page, a body that is not JSON, rows that do not match the schema, a
// running statement without an id, a body cut off mid-answer: each is a DatabaseError
// that says what went wrong, and the connection answers the next call.
TEST_F(DatabricksDriverTest, AnswersTheDriverCannotReadAreClearErrors) {
  Json one = Json::array({column("n", "INT", 0)});
  server_.handle("POST", kStatements, [this, one](const RecordedRequest& request) {
    std::string sql = Json::parse(request.body)["statement"];
    if (sql == "SELECT html") return ScriptedResponse::text("<html><body>Bad gateway</body></html>", 502, "text/html");
    if (sql == "SELECT garbage") return ScriptedResponse::json("{\"result\": [");
    if (sql == "SELECT list") return ScriptedResponse::json("[1, 2, 3]");
    if (sql == "SELECT wide") return json(succeeded("st-w", one, Json::array({{"1", "2"}})));
    if (sql == "SELECT flat") return json(succeeded("st-f", one, Json::array({"1"})));
    if (sql == "SELECT noid") return json({{"status", {{"state", "RUNNING"}}}});
    if (sql == "SELECT cut") return test_support::cut_off_json("{\"statement_id\": \"st-x\", \"result\": [");
    return post(request);
  });
  auto connection = engine()->connect();
  test_support::expect_database_errors(
      [&](const std::string& sql) { connection.execute(sql); },
      {
          {"SELECT html", "Databricks answered HTTP 502 Bad Gateway"},
          {"SELECT garbage", "Databricks sent an answer this driver cannot read (HTTP 200)"},
          {"SELECT list", "Databricks sent an answer this driver cannot read (HTTP 200)"},
          {"SELECT wide", "Databricks sent a row that does not match the result's columns"},
          {"SELECT flat", "Databricks sent a row that does not match the result's columns"},
          {"SELECT noid", "Databricks sent no statement id for a running statement"},
          {"SELECT cut", "The exchange with Databricks failed"},
      },
      kToken);
  EXPECT_EQ(connection.execute("SELECT types").fetchall().size(), 1u);
}

TEST_F(DatabricksDriverTest, InspectsSchemasTablesAndColumns) {
  auto connection = engine()->connect();
  EXPECT_EQ(connection.list_schemas(), (std::vector<std::string>{"default", "information_schema", "sales"}));
  EXPECT_EQ(connection.list_tables("sales"), (std::vector<std::string>{"customers", "orders"}));
  EXPECT_TRUE(connection.list_tables("nope").empty());

  auto columns = connection.get_columns("sales", "orders");
  ASSERT_EQ(columns.size(), 2u);
  EXPECT_EQ(columns[0].name, "id");
  EXPECT_EQ(columns[0].type, "BIGINT");
  EXPECT_FALSE(columns[0].nullable);
  EXPECT_EQ(columns[1].type, "DECIMAL(10,2)");
  EXPECT_TRUE(columns[1].nullable);

  // No information schema rows: DESCRIBE TABLE, up to its first "#" section.
  auto described = connection.get_columns("legacy", "events");
  ASSERT_EQ(described.size(), 2u);
  EXPECT_EQ(described[1].name, "payload");
  EXPECT_EQ(described[1].type, "STRUCT<a:int>");
  try {
    connection.get_columns("sales", "ghost`; DROP TABLE x; --");
    ADD_FAILURE() << "a missing table must be an error";
  } catch (const base::DatabaseError& error) {
    EXPECT_STREQ(error.what(), "Table 'sales.ghost`; DROP TABLE x; --' not found");
  }
  for (const auto& sent : posted_statements()) {
    std::string sql = sent["statement"];
    if (sql.starts_with("DESCRIBE")) {
      EXPECT_THAT(sql, Not(HasSubstr("ghost`;")));  // the backtick is doubled
    }
    if (sql.find("information_schema") != std::string::npos) {
      EXPECT_THAT(sql, Not(HasSubstr("ghost")));
    }
  }
}

}  // namespace
}  // namespace velko
