// The BigQuery driver against a local server that speaks the BigQuery REST API v2 and
// Google's OAuth token endpoint: a service-account key (made by the test with openssl)
// signs a JWT that the fake checks with the public key; dry runs, jobs.query with
// jobComplete false and polling, pages, jobs.cancel, error bodies, datasets.list,
// tables.list and tables.get.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/support/error_cases.h"
#include "tests/support/http_test_server.h"
#include "tests/support/velko_cli.h"
#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/files.h"
#include "velko/platform/db_utils/config_url.h"
#include "velko/platform/sql/url.h"
#include "velko/platform/sql_remote/drivers.h"
#include "velko/platform/sql_remote/service_account.h"

namespace velko {
namespace {

using platform::sql::ExecuteOptions;
using test_support::HttpTestServer;
using test_support::RecordedRequest;
using test_support::ScriptedResponse;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kAccessToken = "ya29.SECRET-ACCESS-5d1e";
constexpr const char* kProject = "/bigquery/v2/projects/shop-prod";

ScriptedResponse json(const Json& body, int status = 200) {
  ScriptedResponse response;
  response.status = status;
  response.body = body.dump();
  return response;
}

Json bq_error(int code, const std::string& reason, const std::string& message) {
  return {{"error", {{"code", code}, {"message", message}, {"errors", {{{"reason", reason}, {"message", message}}}}}}};
}

Json cells(const Json& values) {
  Json out = Json::array();
  for (const auto& value : values) out.push_back({{"v", value}});
  return {{"f", out}};
}

Json number_rows(int from, int count) {
  Json rows = Json::array();
  for (int idx = from; idx < from + count; ++idx) rows.push_back(cells(Json::array({std::to_string(idx)})));
  return rows;
}

Json complete(const std::string& job, const Json& fields, const Json& rows, const std::string& page_token = "",
              long long total = -1) {
  Json answer = {{"kind", "bigquery#queryResponse"},
                 {"jobReference", {{"projectId", "shop-prod"}, {"jobId", job}, {"location", "EU"}}},
                 {"jobComplete", true},
                 {"schema", {{"fields", fields}}},
                 {"rows", rows},
                 {"totalRows", std::to_string(total >= 0 ? total : static_cast<long long>(rows.size()))}};
  if (!page_token.empty()) answer["pageToken"] = page_token;
  return answer;
}

Json pending(const std::string& job) {
  return {{"kind", "bigquery#queryResponse"},
          {"jobReference", {{"projectId", "shop-prod"}, {"jobId", job}, {"location", "EU"}}},
          {"jobComplete", false}};
}

class BigqueryDriverTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    keys_ = new testing::TempDir();
    std::string dir = keys_->path().string();
    auto [out, status] = testing::run_command("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out '" +
                                              dir + "/key.pem' 2>&1 && openssl pkey -in '" + dir +
                                              "/key.pem' -pubout -out '" + dir + "/pub.pem' 2>&1");
    ASSERT_EQ(status, 0) << out;
  }
  static void TearDownTestSuite() { delete keys_; }

  void SetUp() override {
    platform::sql_remote::AccessTokens::shared().clear();
    driver_ = platform::sql_remote::make_bigquery_driver(
        {.wait = std::chrono::milliseconds(50), .request_timeout_seconds = 5});
    server_.handle("POST", "/token", [this](const RecordedRequest& request) { return token(request); });
    server_.handle("POST", std::string(kProject) + "/jobs", [this](const RecordedRequest& request) {
      return authorized(request, [&] { return dry_run(request); });
    });
    server_.handle("POST", std::string(kProject) + "/queries", [this](const RecordedRequest& request) {
      return authorized(request, [&] { return query(request); });
    });
    Json types = Json::array(
        {{{"name", "i"}, {"type", "INTEGER"}, {"mode", "NULLABLE"}},
         {{"name", "f"}, {"type", "FLOAT"}},
         {{"name", "b"}, {"type", "BOOLEAN"}},
         {{"name", "s"}, {"type", "STRING"}},
         {{"name", "n"}, {"type", "NUMERIC"}},
         {{"name", "bytes"}, {"type", "BYTES"}},
         {{"name", "d"}, {"type", "DATE"}},
         {{"name", "dt"}, {"type", "DATETIME"}},
         {{"name", "ts"}, {"type", "TIMESTAMP"}},
         {{"name", "rec"},
          {"type", "RECORD"},
          {"fields",
           {{{"name", "x"}, {"type", "INTEGER"}}, {{"name", "tags"}, {"type", "STRING"}, {"mode", "REPEATED"}}}}},
         {{"name", "nums"}, {"type", "INTEGER"}, {"mode", "REPEATED"}},
         {{"name", "j"}, {"type", "JSON"}},
         {{"name", "missing"}, {"type", "STRING"}}});
    server_.handle("GET", std::string(kProject) + "/queries/job-types", [this, types](const RecordedRequest& request) {
      return authorized(request, [&] {
        Json record = {{"f", {{{"v", "7"}}, {{"v", {{{"v", "a"}}, {{"v", "b"}}}}}}}};
        return json(complete(
            "job-types", types,
            Json::array({cells(Json::array({"9007199254740993", "2.5", "true", "caf\xc3\xa9", "12.30", "3q2+7w==",
                                            "2024-01-15", "2024-01-15T10:30:00.123456", "1.7053146001234E9", record,
                                            Json::array({{{"v", "1"}}, {{"v", "2"}}}), "{\"k\":[1,2]}", nullptr}))})));
      });
    });
    server_.handle("GET", std::string(kProject) + "/queries/job-pages", [this](const RecordedRequest& request) {
      return authorized(request, [&] {
        Json fields = Json::array({{{"name", "n"}, {"type", "INTEGER"}}});
        if (request.query.find("pageToken=p2") != std::string::npos)
          return json(complete("job-pages", fields, number_rows(20, 20), "p3", 100));
        if (request.query.find("pageToken=p3") != std::string::npos)
          return json(complete("job-pages", fields, number_rows(40, 20), "p4", 100));
        return json(complete("job-pages", fields, number_rows(80, 20), "", 100));
      });
    });
    server_.respond("GET", std::string(kProject) + "/queries/job-forever", json(pending("job-forever")));
    server_.respond("POST", std::string(kProject) + "/jobs/job-forever/cancel",
                    json({{"kind", "bigquery#jobCancelResponse"}}));
    server_.handle("GET", std::string(kProject) + "/datasets", [this](const RecordedRequest& request) {
      return authorized(request, [&] {
        if (request.query.find("pageToken=d2") != std::string::npos) {
          return json(
              {{"datasets", {{{"datasetReference", {{"projectId", "shop-prod"}, {"datasetId", "analytics"}}}}}}});
        }
        return json({{"datasets", {{{"datasetReference", {{"projectId", "shop-prod"}, {"datasetId", "sales"}}}}}},
                     {"nextPageToken", "d2"}});
      });
    });
    server_.respond(
        "GET", std::string(kProject) + "/datasets/sales/tables",
        json({{"tables",
               {{{"tableReference", {{"tableId", "orders"}}}}, {{"tableReference", {{"tableId", "customers"}}}}}}}));
    server_.respond("GET", std::string(kProject) + "/datasets/nope/tables",
                    json(bq_error(404, "notFound", "Not found: Dataset shop-prod:nope"), 404));
    server_.respond(
        "GET", std::string(kProject) + "/datasets/sales/tables/orders",
        json({{"schema",
               {{"fields",
                 {{{"name", "id"}, {"type", "INTEGER"}, {"mode", "REQUIRED"}},
                  {{"name", "items"},
                   {"type", "RECORD"},
                   {"mode", "REPEATED"},
                   {"fields", {{{"name", "sku"}, {"type", "STRING"}}, {{"name", "qty"}, {"type", "INTEGER"}}}}},
                  {{"name", "note"}, {"type", "STRING"}}}}}}}));
    server_.respond("GET", std::string(kProject) + "/datasets/sales/tables/nope",
                    json(bq_error(404, "notFound", "Not found: Table"), 404));
  }

  ScriptedResponse authorized(const RecordedRequest& request, const std::function<ScriptedResponse()>& answer) {
    if (request.header("Authorization") != std::string("Bearer ") + kAccessToken) {
      return json(bq_error(401, "authError", "Request had invalid authentication credentials."), 401);
    }
    return answer();
  }

  // Checks the JWT bearer grant as Google's token endpoint does: form fields, claims and
  // the RS256 signature (openssl with the key's public half).
  ScriptedResponse token(const RecordedRequest& request) {
    std::string prefix = "grant_type=urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Ajwt-bearer&assertion=";
    if (!request.body.starts_with(prefix)) return json({{"error", "unsupported_grant_type"}}, 400);
    std::string assertion = request.body.substr(prefix.size());
    auto parts = base::split(assertion, '.');
    if (parts.size() != 3) return json({{"error", "invalid_grant"}, {"error_description", "Malformed JWT"}}, 400);
    auto decode = [](std::string_view part) {
      std::string text(part);
      for (char& ch : text) ch = ch == '-' ? '+' : ch == '_' ? '/' : ch;
      while (text.size() % 4 != 0) text += '=';
      return platform::sql_remote::base64_decode(text);
    };
    Json claims = Json::parse(decode(parts[1]));
    if (claims["iss"] != "reader@shop-prod.iam.gserviceaccount.com" || claims["aud"] != server_.url() + "/token" ||
        claims["scope"] != "https://www.googleapis.com/auth/bigquery" ||
        claims["exp"].get<long long>() - claims["iat"].get<long long>() != 3600) {
      return json({{"error", "invalid_grant"}, {"error_description", "Invalid JWT claims."}}, 400);
    }
    std::string dir = keys_->path().string();
    base::write_file_atomic(keys_->path() / "input", std::string(parts[0]) + "." + std::string(parts[1]), 0600);
    base::write_file_atomic(keys_->path() / "sig", decode(parts[2]), 0600);
    auto [out, status] = testing::run_command("openssl dgst -sha256 -verify '" + dir + "/pub.pem' -signature '" + dir +
                                              "/sig' '" + dir + "/input' 2>&1");
    if (status != 0) return json({{"error", "invalid_grant"}, {"error_description", "Invalid JWT Signature."}}, 400);
    return json({{"access_token", kAccessToken}, {"expires_in", 3599}, {"token_type", "Bearer"}});
  }

  ScriptedResponse dry_run(const RecordedRequest& request) {
    Json body = Json::parse(request.body);
    if (!body["configuration"]["dryRun"].get<bool>()) return json(bq_error(400, "invalid", "only dry runs here"), 400);
    std::string sql = body["configuration"]["query"]["query"];
    if (sql.starts_with("SELECT missing")) {
      return json(bq_error(400, "invalidQuery", "Unrecognized name: missing at [1:8]"), 400);
    }
    std::string type = sql.starts_with("SELECT script") ? "SCRIPT" : "SELECT";
    return json({{"kind", "bigquery#job"},
                 {"status", {{"state", "DONE"}}},
                 {"statistics", {{"query", {{"statementType", type}, {"totalBytesProcessed", "0"}}}}}});
  }

  ScriptedResponse query(const RecordedRequest& request) {
    Json body = Json::parse(request.body);
    std::string sql = body["query"];
    if (sql.starts_with("SELECT types")) return json(pending("job-types"));
    if (sql.starts_with("SELECT pages")) {
      return json(
          complete("job-pages", Json::array({{{"name", "n"}, {"type", "INTEGER"}}}), number_rows(0, 20), "p2", 100));
    }
    if (sql.starts_with("SELECT forever")) return json(pending("job-forever"));
    if (sql.starts_with("SELECT echo")) {
      return json(bq_error(500, "backendError", std::string("echo ") + kAccessToken), 500);
    }
    return json(bq_error(400, "invalidQuery", "no script for " + sql), 400);
  }

  std::string key_json(const std::string& token_uri = "") const {
    return Json{{"type", "service_account"},
                {"project_id", "shop-prod"},
                {"private_key_id", "kid-1"},
                {"private_key", base::read_file(keys_->path() / "key.pem")},
                {"client_email", "reader@shop-prod.iam.gserviceaccount.com"},
                {"token_uri", token_uri.empty() ? server_.url() + "/token" : token_uri}}
        .dump();
  }

  std::unique_ptr<platform::sql::DriverConnection> connect(const std::string& token_uri = "") {
    Json config = {{"type", "BIGQUERY"},
                   {"host", "shop-prod"},
                   {"password", key_json(token_uri)},
                   {"database", "sales"},
                   {"warehouse", "EU"}};
    return driver_->connect(platform::sql::make_url(platform::db_utils::build_url_for_config(config)));
  }

  size_t requests_to(const std::string& path) const {
    size_t count = 0;
    for (const auto& request : server_.requests()) count += request.path == path ? 1 : 0;
    return count;
  }

  static testing::TempDir* keys_;
  HttpTestServer server_;
  base::ScopedEnv root_{platform::sql_remote::BIGQUERY_URL_ENV, server_.url()};
  std::shared_ptr<platform::sql::Driver> driver_;
};

testing::TempDir* BigqueryDriverTest::keys_ = nullptr;

TEST_F(BigqueryDriverTest, ValuesAreTypedFromTheSchemaAfterPollingAndTheTokenIsKept) {
  auto connection = connect();
  platform::sql::Result result = connection->execute("SELECT types", ExecuteOptions{.max_rows = 50});
  ASSERT_EQ(result.fetchall().size(), 1u);
  const auto& row = result.fetchall()[0];
  EXPECT_EQ(row[0], Json(9007199254740993LL));
  EXPECT_EQ(row[1], 2.5);
  EXPECT_EQ(row[2], true);
  EXPECT_EQ(row[3], "caf\xc3\xa9");
  EXPECT_EQ(row[4], "12.30");
  EXPECT_EQ(row[5], "3q2+7w==");
  EXPECT_EQ(row[6], "2024-01-15");
  EXPECT_EQ(row[7], "2024-01-15 10:30:00.123456");
  EXPECT_EQ(row[8], "2024-01-15 10:30:00.123400+00:00");
  EXPECT_EQ(row[9], (Json{{"x", 7}, {"tags", {"a", "b"}}}));
  EXPECT_EQ(row[10], Json::array({1, 2}));
  EXPECT_EQ(row[11], (Json{{"k", {1, 2}}}));
  EXPECT_TRUE(row[12].is_null());

  // Dry run, then jobs.query as documented.
  Json dry;
  Json sent;
  for (const auto& request : server_.requests()) {
    if (request.path == std::string(kProject) + "/jobs") dry = Json::parse(request.body);
    if (request.path == std::string(kProject) + "/queries") sent = Json::parse(request.body);
  }
  EXPECT_EQ(dry["configuration"]["query"]["useLegacySql"], false);
  EXPECT_EQ(dry["jobReference"]["location"], "EU");
  EXPECT_EQ(sent["maxResults"], 50);
  EXPECT_EQ(sent["useLegacySql"], false);
  EXPECT_EQ(sent["location"], "EU");
  EXPECT_EQ(sent["defaultDataset"], (Json{{"projectId", "shop-prod"}, {"datasetId", "sales"}}));
  EXPECT_TRUE(sent["timeoutMs"].is_number_integer());
  EXPECT_GE(requests_to(std::string(kProject) + "/queries/job-types"), 1u);

  connection->execute("SELECT types", {});
  auto another = connect();
  another->execute("SELECT types", {});
  EXPECT_EQ(requests_to("/token"), 1u);  // one token for every connection of the key
}

TEST_F(BigqueryDriverTest, PagesAreFetchedOnlyWhileFewerRowsThanTheCapAreInHand) {
  auto connection = connect();
  platform::sql::Result result = connection->execute("SELECT pages", ExecuteOptions{.max_rows = 50});
  ASSERT_EQ(result.fetchall().size(), 50u);
  EXPECT_EQ(result.fetchall()[49][0], 49);
  EXPECT_TRUE(result.truncated());
  std::vector<std::string> pages;
  for (const auto& request : server_.requests()) {
    if (request.path == std::string(kProject) + "/queries/job-pages") pages.push_back(request.query);
  }
  ASSERT_EQ(pages.size(), 2u);
  EXPECT_THAT(pages[0], HasSubstr("pageToken=p2"));
  EXPECT_THAT(pages[0], HasSubstr("maxResults=30"));
  EXPECT_THAT(pages[1], HasSubstr("pageToken=p3"));
  EXPECT_THAT(pages[1], HasSubstr("maxResults=10"));
  EXPECT_THAT(pages[1], HasSubstr("location=EU"));
}

TEST_F(BigqueryDriverTest, TimeOutAndCancellationCancelTheJob) {
  auto connection = connect();
  auto started = std::chrono::steady_clock::now();
  try {
    connection->execute("SELECT forever", ExecuteOptions{.timeout = std::chrono::milliseconds(400)});
    ADD_FAILURE() << "the query must time out";
  } catch (const base::TimeoutError& error) {
    EXPECT_THAT(error.what(), HasSubstr("timed out after 0.4 seconds"));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  std::string cancel = std::string(kProject) + "/jobs/job-forever/cancel";
  EXPECT_EQ(requests_to(cancel), 1u);
  for (const auto& request : server_.requests()) {
    if (request.path == cancel) {
      EXPECT_EQ(request.query, "location=EU");
    }
    if (request.path == std::string(kProject) + "/queries") {
      EXPECT_EQ(Json::parse(request.body)["jobTimeoutMs"], "1000");
    }
  }

  auto signal = std::make_shared<base::CancelSignal>();
  std::thread canceller([signal] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    signal->cancel();
  });
  EXPECT_THROW(connection->execute("SELECT forever", ExecuteOptions{.cancel = signal}), base::CancelledError);
  canceller.join();
  EXPECT_EQ(requests_to(cancel), 2u);
}

TEST_F(BigqueryDriverTest, OnlySelectsRunAndNothingIsSentForAWrite) {
  auto connection = connect();
  size_t before = server_.requests().size();
  for (const char* sql : {"DELETE FROM sales.orders WHERE true", "CREATE TABLE t AS SELECT 1", "SELECT 1; SELECT 2",
                          "DROP SCHEMA sales CASCADE", "MERGE t USING s ON false WHEN NOT MATCHED THEN INSERT ROW",
                          "EXPORT DATA OPTIONS(uri='gs://x/*') AS SELECT 1"}) {
    EXPECT_THROW(connection->execute(sql, {}), base::DatabaseError) << sql;
  }
  EXPECT_EQ(server_.requests().size(), before);
  // What the text does not show, the dry run does: a script is refused without running.
  try {
    connection->execute("SELECT script", {});
    ADD_FAILURE();
  } catch (const base::DatabaseError& error) {
    EXPECT_THAT(error.what(), HasSubstr("dry run found SCRIPT"));
  }
  EXPECT_EQ(requests_to(std::string(kProject) + "/queries"), 0u);
}

TEST_F(BigqueryDriverTest, FailuresCarryTheServicesMessageAndNoSecret) {
  auto connection = connect();
  try {
    connection->execute("SELECT missing FROM orders", {});
    ADD_FAILURE();
  } catch (const base::DatabaseError& error) {
    EXPECT_STREQ(error.what(), "invalidQuery: Unrecognized name: missing at [1:8]");
  }
  try {
    connection->execute("SELECT echo", {});
    ADD_FAILURE();
  } catch (const base::DatabaseError& error) {
    EXPECT_THAT(error.what(), Not(HasSubstr(kAccessToken)));
  }
  // A key whose signature does not match: the token endpoint's refusal, no key material.
  testing::TempDir other;
  auto [out, status] = testing::run_command("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out '" +
                                            (other.path() / "k.pem").string() + "' 2>&1");
  ASSERT_EQ(status, 0) << out;
  Json key = Json::parse(key_json());
  key["private_key"] = base::read_file(other.path() / "k.pem");
  Json config = {{"type", "BIGQUERY"}, {"host", "shop-prod"}, {"password", key.dump()}};
  try {
    driver_->connect(platform::sql::make_url(platform::db_utils::build_url_for_config(config)));
    ADD_FAILURE();
  } catch (const base::DatabaseError& error) {
    EXPECT_THAT(error.what(), HasSubstr("invalid_grant: Invalid JWT Signature."));
    EXPECT_THAT(error.what(), Not(HasSubstr("PRIVATE KEY")));
  }
  // A token_uri that would carry the assertion over a network in the clear.
  EXPECT_THROW(connect("http://oauth2.example.com/token"), base::DatabaseError);
  Json broken = {{"type", "BIGQUERY"}, {"host", "shop-prod"}, {"password", "{\"type\": \"service_account\"}"}};
  EXPECT_THROW(driver_->connect(platform::sql::make_url(platform::db_utils::build_url_for_config(broken))),
               base::DatabaseError);
}

// A proxy's error page, a body that is not JSON, rows that do not match the schema, a
// pending job without a reference, a body cut off mid-answer: each is a DatabaseError
// that says what went wrong, and the connection answers the next call.
TEST_F(BigqueryDriverTest, AnswersTheDriverCannotReadAreClearErrors) {
  Json one = Json::array({{{"name", "n"}, {"type", "INTEGER"}}});
  server_.handle("POST", std::string(kProject) + "/queries", [this, one](const RecordedRequest& request) {
    return authorized(request, [&] {
      std::string sql = Json::parse(request.body)["query"];
      if (sql == "SELECT html")
        return ScriptedResponse::text("<html><body>Bad gateway</body></html>", 502, "text/html");
      if (sql == "SELECT garbage") return ScriptedResponse::json("{\"rows\": [");
      if (sql == "SELECT list") return ScriptedResponse::json("[1, 2, 3]");
      if (sql == "SELECT wide") return json(complete("job-w", one, Json::array({cells(Json::array({"1", "2"}))})));
      if (sql == "SELECT flat") return json(complete("job-f", one, Json::array({"1"})));
      if (sql == "SELECT nojob") return json({{"kind", "bigquery#queryResponse"}, {"jobComplete", false}});
      if (sql == "SELECT cut") return test_support::cut_off_json("{\"kind\": \"bigquery#queryResponse\", \"rows\": [");
      return query(request);
    });
  });
  auto connection = connect();
  test_support::expect_database_errors(
      [&](const std::string& sql) { connection->execute(sql, {}); },
      {
          {"SELECT html", "BigQuery answered HTTP 502 Bad Gateway"},
          {"SELECT garbage", "BigQuery sent an answer this driver cannot read (HTTP 200)"},
          {"SELECT list", "BigQuery sent an answer this driver cannot read (HTTP 200)"},
          {"SELECT wide", "BigQuery sent a row that does not match the result's columns"},
          {"SELECT flat", "BigQuery sent a row that does not match the result's columns"},
          {"SELECT nojob", "BigQuery sent no job id for a running query"},
          {"SELECT cut", "The exchange with BigQuery failed"},
      },
      kAccessToken);
  EXPECT_EQ(connection->execute("SELECT types", {}).fetchall().size(), 1u);
}

TEST_F(BigqueryDriverTest, InspectionListsDatasetsTablesAndTheSchema) {
  auto connection = connect();
  EXPECT_EQ(connection->list_schemas({}), std::vector<std::string>({"analytics", "sales"}));
  EXPECT_EQ(connection->list_tables("sales", {}), std::vector<std::string>({"customers", "orders"}));
  EXPECT_TRUE(connection->list_tables("nope", {}).empty());
  auto columns = connection->get_columns("sales", "orders", {});
  ASSERT_EQ(columns.size(), 3u);
  EXPECT_EQ(columns[0].type, "INTEGER");
  EXPECT_FALSE(columns[0].nullable);
  EXPECT_EQ(columns[1].type, "ARRAY<STRUCT<sku STRING, qty INTEGER>>");
  EXPECT_TRUE(columns[2].nullable);
  try {
    connection->get_columns("sales", "nope", {});
    ADD_FAILURE();
  } catch (const base::DatabaseError& error) {
    EXPECT_STREQ(error.what(), "Table 'sales.nope' not found");
  }
}

TEST_F(BigqueryDriverTest, TheToolsAnswerThroughTheVelkoCommand) {
  testing::VelkoCli velko;
  std::filesystem::path keyfile = velko.home() / "key.json";
  base::write_file_atomic(keyfile, key_json(), 0600);
  testing::CliOutput added = velko.run({"connections", "add", "bq", "--type", "BIGQUERY", "--host", "shop-prod",
                                        "--keyfile", keyfile.string(), "--database", "sales", "--warehouse", "EU"});
  ASSERT_EQ(added.status, 0) << added.err;
  std::vector<testing::CliOutput> outputs = {
      added,
      velko.run({"connections", "list"}),
      velko.run({"tool", "list_schemas_tool"}),
      velko.run({"tool", "list_tables_tool", "--args", R"({"db_schema": "sales"})"}),
      velko.run({"tool", "get_table_columns_tool", "--args", R"({"db_schema": "sales", "table_names": "orders"})"}),
      velko.run({"tool", "execute_sql_query", "--args", R"({"query": "SELECT types"})"}),
      velko.run({"tool", "execute_sql_query", "--args", R"({"query": "SELECT pages"})"}),
      velko.run({"tool", "execute_sql_query", "--args", R"({"query": "DELETE FROM orders WHERE true"})"}),
      velko.run({"tool", "execute_sql_query", "--args", R"({"query": "SELECT echo"})"}),
  };
  EXPECT_THAT(outputs[2].out, HasSubstr("analytics"));
  EXPECT_THAT(outputs[3].out, HasSubstr("customers"));
  EXPECT_THAT(outputs[4].out, HasSubstr("ARRAY<STRUCT<sku STRING, qty INTEGER>>"));
  EXPECT_THAT(outputs[5].out, HasSubstr("\"2024-01-15 10:30:00.123400+00:00\""));
  EXPECT_EQ(base::loads(outputs[6].out)["rows"].size(), 50u);
  EXPECT_THAT(outputs[7].out, HasSubstr("Error executing query: Only statements that read data"));
  std::string pem = base::read_file(keys_->path() / "key.pem");
  std::string key_body = pem.substr(pem.find('\n') + 1, 40);  // a piece of the key itself
  for (const auto& output : outputs) {
    EXPECT_THAT(output.out + output.err, Not(HasSubstr(kAccessToken)));
    EXPECT_THAT(output.out + output.err, Not(HasSubstr(key_body)));
  }
}

}  // namespace
}  // namespace velko
