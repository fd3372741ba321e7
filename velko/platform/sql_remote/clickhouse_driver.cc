#include "velko/platform/sql_remote/clickhouse_driver.h"

#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "velko/base/errors.h"
#include "velko/base/http.h"
#include "velko/base/strings.h"
#include "velko/platform/db_utils/urls.h"
#include "velko/platform/sql_remote/remote_common.h"
#include "velko/platform/sql_remote/statement_text.h"

namespace velko::platform::sql_remote {
namespace {

constexpr const char* kFormat = "JSONCompactEachRowWithNamesAndTypes";
constexpr const char* kReadonlyCode = "164";

std::string url_encode(std::string_view text) { return db_utils::percent_encode(text); }

struct Endpoint {
  std::string base_url;  // scheme://host:port
  std::string user;
  std::string password;
  std::optional<std::string> database;
  bool verify_tls = true;
  double timeout_seconds = 300;
};

class ClickhouseConnection : public sql::DriverConnection {
 public:
  explicit ClickhouseConnection(Endpoint endpoint) : endpoint_(std::move(endpoint)) {}

  bool ping() override { return true; }

  sql::Result execute(std::string_view sql, const sql::ExecuteOptions& options) override {
    return run(single_statement(sql), {}, options.max_rows);
  }

  std::vector<std::string> list_schemas() override {
    return first_column(run("SELECT name FROM system.databases ORDER BY name", {}, 0));
  }

  std::vector<std::string> list_tables(const std::string& schema) override {
    return first_column(
        run("SELECT name FROM system.tables WHERE database = {schema:String} ORDER BY name", {{"schema", schema}}, 0));
  }

  std::vector<sql::ColumnInfo> get_columns(const std::string& schema, const std::string& table) override {
    sql::Result result = run(
        "SELECT name, type FROM system.columns WHERE database = {schema:String} AND table = {table:String} "
        "ORDER BY position",
        {{"schema", schema}, {"table", table}}, 0);
    std::vector<sql::ColumnInfo> columns;
    for (const auto& row : result.fetchall()) {
      std::string type = row.at(1).get<std::string>();
      bool nullable = type.starts_with("Nullable(") || type.starts_with("LowCardinality(Nullable(");
      columns.push_back(sql::ColumnInfo{row.at(0).get<std::string>(), type, nullable});
    }
    if (columns.empty()) throw base::DatabaseError("Table '" + schema + "." + table + "' not found");
    return columns;
  }

  bool reset() override { return true; }

  // Runs "SELECT 1" to check the address and the login.
  void check() { run("SELECT 1", {}, 0); }

 private:
  using Params = std::vector<std::pair<std::string, std::string>>;

  std::string query_string(const Params& parameters, size_t max_rows, bool with_settings) const {
    Params query;
    if (endpoint_.database && !endpoint_.database->empty()) query.emplace_back("database", *endpoint_.database);
    query.emplace_back("default_format", kFormat);
    if (with_settings) {
      query.emplace_back("readonly", "1");
      query.emplace_back("wait_end_of_query", "1");
      query.emplace_back("output_format_json_quote_64bit_integers", "0");
      query.emplace_back("output_format_json_quote_decimals", "1");
      query.emplace_back("output_format_decimal_trailing_zeros", "1");
      query.emplace_back("output_format_json_quote_denormals", "1");
      query.emplace_back("output_format_json_validate_utf8", "1");
      long long seconds = std::llround(std::ceil(endpoint_.timeout_seconds));
      if (seconds > 0) query.emplace_back("max_execution_time", std::to_string(seconds));
      if (max_rows > 0) {
        query.emplace_back("max_result_rows", std::to_string(max_rows + 1));
        query.emplace_back("result_overflow_mode", "break");
      }
    }
    for (const auto& [name, value] : parameters) query.emplace_back("param_" + name, value);
    std::string out;
    for (const auto& [key, value] : query) {
      out += out.empty() ? "?" : "&";
      out += url_encode(key) + "=" + url_encode(value);
    }
    return out;
  }

  base::HttpResponse send(const std::string& statement, const Params& parameters, size_t max_rows,
                          bool with_settings) const {
    base::HttpRequest request;
    request.method = "POST";
    request.url = endpoint_.base_url + "/" + query_string(parameters, max_rows, with_settings);
    request.headers = {{"X-ClickHouse-User", endpoint_.user},
                       {"Content-Type", "text/plain; charset=utf-8"},
                       {"User-Agent", "velko"}};
    if (!endpoint_.password.empty()) request.headers.emplace_back("X-ClickHouse-Key", endpoint_.password);
    request.body = statement;
    request.timeout_seconds = endpoint_.timeout_seconds;
    request.verify_tls = endpoint_.verify_tls;
    try {
      return base::http_request(request);
    } catch (const base::TimeoutError&) {
      throw base::DatabaseError("ClickHouse did not answer within " + seconds_text() + " seconds");
    } catch (const base::ConnectError& error) {
      throw sql::DisconnectionError("Could not connect to ClickHouse: " + message_text(error.what()));
    } catch (const base::TransportError& error) {
      throw sql::DisconnectionError("The exchange with ClickHouse failed: " + message_text(error.what()));
    } catch (const base::ValueError& error) {
      throw base::DatabaseError("Invalid ClickHouse address: " + message_text(error.what()));
    }
  }

  std::string seconds_text() const {
    double seconds = endpoint_.timeout_seconds;
    return seconds == std::floor(seconds) ? std::to_string(static_cast<long long>(seconds)) : std::to_string(seconds);
  }

  static bool refuses_settings(std::string_view body) {
    return body.find("Cannot modify '") != std::string_view::npos &&
           body.find("setting in readonly mode") != std::string_view::npos;
  }

  static std::string error_text(const base::HttpResponse& response) {
    std::string body = message_text(response.body);
    if (!body.empty()) return body;
    return "ClickHouse answered HTTP " + std::to_string(response.status) + " " + response.reason;
  }

  sql::Result run(const std::string& statement, const Params& parameters, size_t max_rows) {
    base::HttpResponse response = send(statement, parameters, max_rows, true);
    auto code = response.header("X-ClickHouse-Exception-Code");
    if (response.status != 200 && code && *code == kReadonlyCode && refuses_settings(response.body)) {
      // A profile with readonly=1 refuses every setting, and keeps the user read-only on
      // its own: send the statement without them. (A write refused because of our
      // readonly=1 is "Cannot execute query in readonly mode" and is never resent.)
      response = send(statement, parameters, max_rows, false);
      code = response.header("X-ClickHouse-Exception-Code");
    }
    if (response.status != 200 || code) throw base::DatabaseError(error_text(response));
    return parse_clickhouse_rows(response.body, max_rows);
  }

  static std::vector<std::string> first_column(const sql::Result& result) {
    std::vector<std::string> names;
    for (const auto& row : result.fetchall()) names.push_back(row.at(0).get<std::string>());
    return names;
  }

  Endpoint endpoint_;
};

class ClickhouseDriver : public sql::Driver {
 public:
  explicit ClickhouseDriver(ClickhouseDriverOptions options) : options_(options) {}

  std::unique_ptr<sql::DriverConnection> connect(const sql::Url& url) override {
    if (!url.host || url.host->empty()) throw base::DatabaseError("The ClickHouse URL names no host");
    Endpoint endpoint;
    std::string secure = url.query_value("secure").value_or("true");
    bool tls = !(secure == "false" || secure == "False" || secure == "0" || secure == "no");
    std::string host = *url.host;
    if (host.find(':') != std::string::npos) host = "[" + host + "]";  // IPv6
    int port = url.port.value_or(tls ? 8443 : 8123);
    endpoint.base_url = std::string(tls ? "https://" : "http://") + host + ":" + std::to_string(port);
    endpoint.user = url.username && !url.username->empty() ? *url.username : "default";
    endpoint.password = url.password.value_or("");
    endpoint.database = url.database;
    std::string verify = url.query_value("verify").value_or("true");
    endpoint.verify_tls = !(verify == "false" || verify == "False" || verify == "0" || verify == "no");
    endpoint.timeout_seconds = options_.timeout_seconds;
    if (auto timeout = url.query_value("send_receive_timeout")) {
      auto seconds = float_value(*timeout);
      if (!seconds || !(*seconds > 0) || std::isinf(*seconds)) {
        throw base::DatabaseError("send_receive_timeout must be a positive number of seconds");
      }
      endpoint.timeout_seconds = *seconds;
    }
    auto connection = std::make_unique<ClickhouseConnection>(std::move(endpoint));
    connection->check();
    return connection;
  }

 private:
  ClickhouseDriverOptions options_;
};

}  // namespace

std::shared_ptr<sql::Driver> make_clickhouse_driver(ClickhouseDriverOptions options) {
  return std::make_shared<ClickhouseDriver>(options);
}

}  // namespace velko::platform::sql_remote
