#include "velko/platform/sql_remote/clickhouse_driver.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "velko/base/errors.h"
#include "velko/base/http.h"
#include "velko/base/strings.h"
#include "velko/platform/db_utils/urls.h"
#include "velko/platform/sql/statement_watch.h"
#include "velko/platform/sql_remote/remote_common.h"
#include "velko/platform/sql_remote/statement_text.h"

namespace velko::platform::sql_remote {
namespace {

constexpr const char* kFormat = "JSONCompactEachRowWithNamesAndTypes";
constexpr const char* kReadonlyCode = "164";
constexpr std::chrono::milliseconds kKillGrace{1000};
constexpr double kKillTimeoutSeconds = 5;
// The HTTP exchange of a statement with a time limit ends this long after the limit, in
// case neither max_execution_time nor KILL QUERY ended it.
constexpr double kExchangeGraceSeconds = 5;

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
    return run(single_statement(sql), {}, options.max_rows, options);
  }

  std::vector<std::string> list_schemas(const sql::ExecuteOptions& options) override {
    return first_column_texts(run("SELECT name FROM system.databases ORDER BY name", {}, 0, options));
  }

  std::vector<std::string> list_tables(const std::string& schema, const sql::ExecuteOptions& options) override {
    return first_column_texts(run("SELECT name FROM system.tables WHERE database = {schema:String} ORDER BY name",
                                  {{"schema", schema}}, 0, options));
  }

  std::vector<sql::ColumnInfo> get_columns(const std::string& schema, const std::string& table,
                                           const sql::ExecuteOptions& options) override {
    sql::Result result =
        run("SELECT name, type FROM system.columns WHERE database = {schema:String} AND table = {table:String} "
            "ORDER BY position",
            {{"schema", schema}, {"table", table}}, 0, options);
    std::vector<sql::ColumnInfo> columns;
    for (const auto& row : result.returns_rows() ? result.fetchall() : std::vector<sql::Row>{}) {
      if (row.size() < 2 || !row[0].is_string() || !row[1].is_string()) continue;
      std::string type = row[1].get<std::string>();
      bool nullable = type.starts_with("Nullable(") || type.starts_with("LowCardinality(Nullable(");
      columns.push_back(sql::ColumnInfo{row.at(0).get<std::string>(), type, nullable});
    }
    if (columns.empty()) throw base::DatabaseError("Table '" + schema + "." + table + "' not found");
    return columns;
  }

  bool reset() override { return true; }

  // Runs "SELECT 1" to check the address and the login, within CONNECT_TIMEOUT.
  void check() {
    sql::ExecuteOptions options;
    options.timeout = std::chrono::duration_cast<std::chrono::milliseconds>(sql::CONNECT_TIMEOUT);
    if (endpoint_.timeout_seconds * 1000 < static_cast<double>(options.timeout.count())) {
      options.timeout = std::chrono::milliseconds(static_cast<long long>(endpoint_.timeout_seconds * 1000));
    }
    run("SELECT 1", {}, 0, options);
  }

 private:
  using Params = std::vector<std::pair<std::string, std::string>>;

  // The statement's URL query: the database, the format, the settings and the
  // statement's parameters. Every statement carries readonly (1, or 2 where the user's
  // profile refuses readonly=1; see run()).
  std::string query_string(const Params& parameters, const std::string& query_id, long long seconds) const {
    Params query;
    if (endpoint_.database && !endpoint_.database->empty()) query.emplace_back("database", *endpoint_.database);
    query.emplace_back("default_format", kFormat);
    query.emplace_back("query_id", query_id);
    query.emplace_back("readonly", std::to_string(readonly_level_));
    query.emplace_back("wait_end_of_query", "1");
    query.emplace_back("output_format_json_quote_64bit_integers", "1");
    query.emplace_back("output_format_json_quote_decimals", "1");
    query.emplace_back("output_format_decimal_trailing_zeros", "1");
    query.emplace_back("output_format_json_quote_denormals", "1");
    query.emplace_back("output_format_json_validate_utf8", "1");
    if (seconds > 0) query.emplace_back("max_execution_time", std::to_string(seconds));
    for (const auto& [name, value] : parameters) query.emplace_back("param_" + name, value);
    std::string out;
    for (const auto& [key, value] : query) {
      out += out.empty() ? "?" : "&";
      out += url_encode(key) + "=" + url_encode(value);
    }
    return out;
  }

  base::HttpResponse send(const std::string& statement, const std::string& url_query, double timeout_seconds) const {
    base::HttpRequest request;
    request.method = "POST";
    request.url = endpoint_.base_url + "/" + url_query;
    request.headers = {
        {"X-ClickHouse-User", endpoint_.user}, {"Content-Type", "text/plain; charset=utf-8"}, {"User-Agent", "velko"}};
    if (!endpoint_.password.empty()) request.headers.emplace_back("X-ClickHouse-Key", endpoint_.password);
    request.body = statement;
    request.timeout_seconds = timeout_seconds;
    request.verify_tls = endpoint_.verify_tls;
    base::Redactor redactor;
    redactor.add_secret(endpoint_.password);
    return exchange("ClickHouse", request, redactor);
  }

  // Stops the statement `query_id` on the server (from the watch's thread). A read-only
  // user may kill its own queries; failures are left to the statement's own answer.
  void kill(const std::string& query_id) const {
    try {
      Params query = {{"default_format", kFormat}, {"readonly", std::to_string(readonly_level_)}};
      std::string url_query;
      for (const auto& [key, value] : query) url_query += (url_query.empty() ? "?" : "&") + key + "=" + value;
      send("KILL QUERY WHERE query_id = '" + query_id + "' ASYNC", url_query, kKillTimeoutSeconds);
    } catch (const std::exception&) {
      // The time-out or the cancellation is what the caller hears about.
    }
  }

  static bool refuses_readonly_setting(std::string_view body) {
    return body.find("Cannot modify 'readonly' setting in readonly mode") != std::string_view::npos;
  }

  // ClickHouse's own exception text as it stands; any other answer (a proxy's error page,
  // an empty body) as its HTTP status, with the start of its body.
  static std::string error_text(const base::HttpResponse& response) {
    std::string body = message_text(response.body);
    if (response.header("X-ClickHouse-Exception-Code") || body.starts_with("Code: ")) return body;
    std::string text = "ClickHouse answered HTTP " + std::to_string(response.status) + " " + response.reason;
    if (!body.empty()) text += ": " + message_text(body, 200);
    return text;
  }

  sql::Result run(const std::string& statement, const Params& parameters, size_t max_rows,
                  const sql::ExecuteOptions& options) {
    base::throw_if_cancelled(options.cancel);
    // The server stops the statement at max_execution_time; KILL QUERY follows a second
    // later if it did not, and at once when the caller cancels.
    long long seconds = options.timeout.count() > 0 ? (options.timeout.count() + 999) / 1000
                                                    : std::llround(std::ceil(endpoint_.timeout_seconds));
    double exchange_seconds = options.timeout.count() > 0
                                  ? static_cast<double>(options.timeout.count()) / 1000.0 + kExchangeGraceSeconds
                                  : endpoint_.timeout_seconds;
    base::HttpResponse response;
    for (int attempt = 0; attempt < 2; ++attempt) {
      const std::string query_id = new_query_id();
      {
        sql::StatementWatch watch(
            options, [this, &query_id] { kill(query_id); }, kKillGrace);
        try {
          response = send(statement, query_string(parameters, query_id, seconds), exchange_seconds);
        } catch (const std::exception&) {
          watch.throw_if_stopped();
          throw;
        }
        if (response.status != 200 || response.header("X-ClickHouse-Exception-Code")) watch.throw_if_stopped();
      }
      auto code = response.header("X-ClickHouse-Exception-Code");
      // A profile with readonly=2 refuses our readonly=1 (it allows no change of
      // readonly): send readonly=2 instead, which the profile accepts and which still
      // refuses every write. A profile with readonly=1 refuses every setting: the
      // statement fails with the server's error; it is never sent without readonly.
      if (attempt == 0 && readonly_level_ == 1 && response.status != 200 && code && *code == kReadonlyCode &&
          refuses_readonly_setting(response.body)) {
        readonly_level_ = 2;
        continue;
      }
      break;
    }
    auto code = response.header("X-ClickHouse-Exception-Code");
    if (response.status != 200 || code) throw base::DatabaseError(error_text(response));
    return parse_clickhouse_rows(response.body, max_rows);
  }

  static std::string new_query_id() {
    static std::atomic<uint64_t> counter{0};
    std::random_device device;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "velko-%08x%08x-%llu", device(), device(),
                  static_cast<unsigned long long>(counter.fetch_add(1)));
    return buffer;
  }

  Endpoint endpoint_;
  int readonly_level_ = 1;  // 2 once the user's profile refused readonly=1
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
