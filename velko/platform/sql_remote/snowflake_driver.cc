#include "velko/platform/sql_remote/snowflake_driver.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "velko/base/errors.h"
#include "velko/base/http.h"
#include "velko/base/strings.h"
#include "velko/platform/db_utils/urls.h"
#include "velko/platform/sql_remote/epoch_text.h"
#include "velko/platform/sql_remote/remote_common.h"
#include "velko/platform/sql_remote/statement_control.h"

namespace velko::platform::sql_remote {
namespace {

constexpr const char* kStatements = "/api/v2/statements";
constexpr const char* kTokenHint =
    "The Snowflake SQL API needs a programmatic access token in place of the password: create one for the user "
    "(ALTER USER ... ADD PROGRAMMATIC ACCESS TOKEN) and store it as the connection's password";

long long integer_field(const Json& object, const char* key, long long fallback) {
  if (!object.is_object()) return fallback;
  auto found = object.find(key);
  if (found == object.end()) return fallback;
  if (found->is_number_integer()) return found->get<long long>();
  if (found->is_string()) {
    if (auto value = integer_value(found->get<std::string>()); value && value->is_number_integer()) {
      return value->get<long long>();
    }
  }
  return fallback;
}

bool valid_account(std::string_view account) {
  if (account.empty()) return false;
  for (char ch : account) {
    bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '-' ||
              ch == '_' || ch == '.';
    if (!ok) return false;
  }
  return true;
}

struct Endpoint {
  std::string base_url;
  std::string token;
  std::string warehouse, role, database, schema;
};

struct Binding {
  std::string value;
};

class SnowflakeConnection : public ReadOnlyHttpConnection {
 public:
  SnowflakeConnection(Endpoint endpoint, SnowflakeDriverOptions options)
      : endpoint_(std::move(endpoint)), options_(options) {}

  std::vector<std::string> list_schemas(const sql::ExecuteOptions& options) override {
    std::vector<std::string> names = first_column_texts(
        inspect("SELECT schema_name FROM information_schema.schemata ORDER BY schema_name", {}, options));
    std::sort(names.begin(), names.end());
    return names;
  }

  std::vector<std::string> list_tables(const std::string& schema, const sql::ExecuteOptions& options) override {
    std::vector<std::string> names = first_column_texts(inspect(
        "SELECT table_name FROM information_schema.tables WHERE UPPER(table_schema) = UPPER(?) ORDER BY table_name",
        {{schema}}, options));
    std::sort(names.begin(), names.end());
    return names;
  }

  std::vector<sql::ColumnInfo> get_columns(const std::string& schema, const std::string& table,
                                           const sql::ExecuteOptions& options) override {
    sql::Result result = inspect(
        "SELECT column_name, data_type, is_nullable, numeric_precision, numeric_scale, character_maximum_length "
        "FROM information_schema.columns WHERE UPPER(table_schema) = UPPER(?) AND UPPER(table_name) = UPPER(?) "
        "ORDER BY ordinal_position",
        {{schema}, {table}}, options);
    std::vector<sql::ColumnInfo> columns;
    for (const auto& row : result.returns_rows() ? result.fetchall() : std::vector<sql::Row>{}) {
      if (row.size() < 6 || !row[0].is_string() || !row[1].is_string()) continue;
      std::string type = row[1].get<std::string>();
      if (type == "NUMBER" && row[3].is_number_integer() && row[4].is_number_integer()) {
        type += "(" + row[3].dump() + "," + row[4].dump() + ")";
      } else if (type == "TEXT" && row[5].is_number_integer()) {
        type = "VARCHAR(" + row[5].dump() + ")";
      }
      columns.push_back({row[0].get<std::string>(), type, row[2].is_string() && row[2].get<std::string>() == "YES"});
    }
    if (columns.empty()) throw base::DatabaseError("Table '" + schema + "." + table + "' not found");
    return columns;
  }

  // Checks the address and the token with a statement that needs no warehouse.
  void check() {
    sql::ExecuteOptions options;
    options.timeout = std::chrono::seconds(30);
    StatementControl control(options);
    run("SELECT CURRENT_VERSION()", {}, 1, control);
  }

 private:
  sql::Result run_read(const std::string& statement, const sql::ExecuteOptions& options) override {
    StatementControl control(options);
    return run(statement, {}, options.max_rows, control);
  }

  // An inspection statement under the caller's cancellation and time limit.
  sql::Result inspect(const std::string& statement, const std::vector<Binding>& bindings,
                      const sql::ExecuteOptions& caller) {
    StatementControl control(inspection_options(caller));
    return run(statement, bindings, 0, control);
  }

  base::HttpResponse send(const std::string& method, const std::string& path, const std::optional<Json>& body,
                          double timeout_seconds) const {
    base::HttpRequest request;
    request.method = method;
    request.url = endpoint_.base_url + path;
    request.headers = {{"Authorization", "Bearer " + endpoint_.token},
                       {"X-Snowflake-Authorization-Token-Type", "PROGRAMMATIC_ACCESS_TOKEN"},
                       {"Accept", "application/json"},
                       {"User-Agent", "velko/0.1"}};
    if (body) {
      request.headers.emplace_back("Content-Type", "application/json");
      request.body = body->dump();
    }
    request.timeout_seconds = timeout_seconds;
    return exchange("Snowflake", request, redactor());
  }

  std::string error_text(const base::HttpResponse& response) const {
    Json body = parse_service_json(response.body).value_or(Json());
    std::string message = base::text_member(body, "message");
    std::string state = base::text_member(body, "sqlState");
    std::string code = base::text_member(body, "code");
    std::string text;
    if (response.status == 401 || response.status == 403) {
      text = "Snowflake refused the credentials (HTTP " + std::to_string(response.status) + ")";
      if (!message.empty()) text += ": " + message;
      if (response.status == 401) text += ". " + std::string(kTokenHint);
    } else if (!message.empty()) {
      text = message;
      if (!state.empty())
        text += " (SQL state " + state + ")";
      else if (!code.empty())
        text += " (code " + code + ")";
    } else {
      text = "Snowflake answered HTTP " + std::to_string(response.status) + " " + response.reason;
    }
    return scrub(message_text(text));
  }

  base::Redactor redactor() const {
    base::Redactor redactor;
    redactor.add_secret(endpoint_.token);
    return redactor;
  }

  std::string scrub(std::string text) const { return redactor().redact(text); }

  Json read_body(const base::HttpResponse& response) const {
    Json body = parse_service_json(response.body).value_or(Json());
    if (!body.is_object()) {
      throw base::DatabaseError("Snowflake sent an answer this driver cannot read (HTTP " +
                                std::to_string(response.status) + ")");
    }
    return body;
  }

  void cancel(const std::string& handle) const {
    if (handle.empty()) return;
    try {
      send("POST", std::string(kStatements) + "/" + db_utils::percent_encode(handle) + "/cancel", Json::object(), 5);
    } catch (const std::exception&) {
      // The time-out or the cancellation is what the caller hears about.
    }
  }

  sql::Result run(const std::string& statement, const std::vector<Binding>& bindings, size_t max_rows,
                  StatementControl& control) {
    control.throw_if_needed();
    Json request = {{"statement", statement}, {"parameters", {{"MULTI_STATEMENT_COUNT", "1"}}}};
    if (long long limit = control.limit_seconds(); limit > 0) request["timeout"] = limit;
    if (!endpoint_.warehouse.empty()) request["warehouse"] = endpoint_.warehouse;
    if (!endpoint_.role.empty()) request["role"] = endpoint_.role;
    if (!endpoint_.database.empty()) request["database"] = endpoint_.database;
    if (!endpoint_.schema.empty()) request["schema"] = endpoint_.schema;
    if (!bindings.empty()) {
      Json values = Json::object();
      for (size_t idx = 0; idx < bindings.size(); ++idx) {
        values[std::to_string(idx + 1)] = {{"type", "TEXT"}, {"value", bindings[idx].value}};
      }
      request["bindings"] = std::move(values);
    }

    base::HttpResponse response = send("POST", std::string(kStatements) + "?async=true", request,
                                       control.request_seconds(options_.request_timeout_seconds));
    std::string handle;
    std::chrono::milliseconds pause = options_.first_poll;
    auto stop = [&] { cancel(handle); };
    while (response.status == 202) {
      Json status = read_body(response);
      if (std::string next = base::text_member(status, "statementHandle"); !next.empty()) handle = next;
      if (handle.empty()) throw base::DatabaseError("Snowflake sent no statement handle for a running statement");
      control.stop_if_needed(stop);
      control.wait(pause);
      control.stop_if_needed(stop);
      pause = std::min(pause * 2, options_.longest_poll);
      response = send("GET", std::string(kStatements) + "/" + db_utils::percent_encode(handle), std::nullopt,
                      control.request_seconds(options_.request_timeout_seconds));
    }
    if (response.status == 408) {
      throw base::TimeoutError("The query " + control.timeout_text() + " and was stopped by Snowflake");
    }
    if (response.status != 200) throw base::DatabaseError(error_text(response));
    Json answer = read_body(response);
    if (std::string next = base::text_member(answer, "statementHandle"); !next.empty()) handle = next;
    return read_result(handle, answer, max_rows, control);
  }

  sql::Result read_result(const std::string& handle, const Json& answer, size_t max_rows, StatementControl& control) {
    auto meta = answer.find("resultSetMetaData");
    if (meta == answer.end() || !meta->is_object()) return sql::Result();
    Json row_type = meta->contains("rowType") && (*meta)["rowType"].is_array() ? (*meta)["rowType"] : Json::array();
    std::vector<std::string> keys;
    for (const auto& column : row_type) keys.push_back(base::text_member(column, "name"));
    size_t partitions = 1;
    if (meta->contains("partitionInfo") && (*meta)["partitionInfo"].is_array()) {
      partitions = std::max<size_t>(1, (*meta)["partitionInfo"].size());
    }
    long long total = integer_field(*meta, "numRows", -1);

    std::vector<sql::Row> rows;
    bool truncated = false;
    auto take = [&](const Json& part) {
      auto data = part.find("data");
      if (data == part.end()) return;
      append_json_rows(
          *data, keys.size(), max_rows,
          [&](size_t idx, const Json& raw) { return snowflake_value(row_type[idx], raw); }, "Snowflake", rows,
          truncated);
    };
    take(answer);
    for (size_t partition = 1; partition < partitions; ++partition) {
      if (max_rows > 0 && rows.size() >= max_rows) {
        truncated = true;  // rows remain in partitions not fetched
        break;
      }
      if (handle.empty()) throw base::DatabaseError("Snowflake sent no statement handle for a partitioned result");
      control.stop_if_needed([] {});
      base::HttpResponse response = send(
          "GET",
          std::string(kStatements) + "/" + db_utils::percent_encode(handle) + "?partition=" + std::to_string(partition),
          std::nullopt, control.request_seconds(options_.request_timeout_seconds));
      if (response.status != 200) throw base::DatabaseError(error_text(response));
      take(read_body(response));
    }
    if (total >= 0 && static_cast<long long>(rows.size()) < total) truncated = true;
    return sql::Result(std::move(keys), std::move(rows), truncated);
  }

  Endpoint endpoint_;
  SnowflakeDriverOptions options_;
};

class SnowflakeDriver : public sql::Driver {
 public:
  explicit SnowflakeDriver(SnowflakeDriverOptions options) : options_(options) {}

  std::unique_ptr<sql::DriverConnection> connect(const sql::Url& url) override {
    if (!url.host || url.host->empty()) throw base::DatabaseError("The Snowflake URL names no account");
    if (!valid_account(*url.host)) {
      throw base::DatabaseError("The Snowflake account may hold only letters, digits, '-', '_' and '.'");
    }
    if (!url.password || url.password->empty()) {
      throw base::DatabaseError("The Snowflake connection holds no programmatic access token (its password)");
    }
    Endpoint endpoint;
    std::string host = base::ascii_lower(*url.host);
    std::string fallback =
        "https://" + (host.ends_with(".snowflakecomputing.com") ? host : host + ".snowflakecomputing.com");
    endpoint.base_url = service_base_url(SNOWFLAKE_URL_ENV, fallback);
    endpoint.token = *url.password;
    endpoint.warehouse = url.query_value("warehouse").value_or("");
    endpoint.role = url.query_value("role").value_or("");
    std::string path = url.database.value_or("");
    size_t slash = path.find('/');
    endpoint.database = path.substr(0, slash);
    if (slash != std::string::npos) endpoint.schema = path.substr(slash + 1);
    if (endpoint.schema.empty()) endpoint.schema = url.query_value("schema").value_or("");
    auto connection = std::make_unique<SnowflakeConnection>(std::move(endpoint), options_);
    connection->check();
    return connection;
  }

 private:
  SnowflakeDriverOptions options_;
};

}  // namespace

Json snowflake_value(const Json& row_type, const Json& raw) {
  if (!raw.is_string()) return raw;
  const std::string& text = raw.get_ref<const std::string&>();
  std::string type = base::ascii_lower(base::text_member(row_type, "type"));
  if (type == "fixed" || type == "number") {
    if (integer_field(row_type, "scale", 0) == 0) {
      if (auto value = integer_value(text)) return *value;
    }
    return raw;
  }
  if (type == "real" || type == "float" || type == "double") {
    if (auto value = float_value(text)) return Json(*value);
    return raw;
  }
  if (type == "boolean") {
    if (text == "true" || text == "TRUE" || text == "1") return Json(true);
    if (text == "false" || text == "FALSE" || text == "0") return Json(false);
    return raw;
  }
  if (type == "date") {
    if (auto days = integer_value(text); days && days->is_number_integer()) {
      long long count = days->get<long long>();
      if (count >= -719162 && count < 2932897) return Json(epoch_date_text(count));
    }
    return raw;
  }
  if (type == "time") {
    if (auto time = epoch_seconds(text)) return Json(clock_text(*time));
    return raw;
  }
  if (type == "timestamp_ntz" || type == "timestamp_ltz" || type == "timestamp_tz") {
    std::string_view number = text;
    std::optional<int> offset;
    if (type == "timestamp_ltz") offset = 0;
    size_t space = number.find(' ');
    if (space != std::string_view::npos) {
      auto encoded = integer_value(number.substr(space + 1));
      if (!encoded || !encoded->is_number_integer()) return raw;
      long long minutes = encoded->get<long long>() - 1440;
      if (minutes < -1440 || minutes > 1440) return raw;
      offset = static_cast<int>(minutes);
      number = number.substr(0, space);
    } else if (type == "timestamp_tz") {
      offset = 0;
    }
    if (auto time = epoch_seconds(number)) return Json(epoch_timestamp_text(*time, offset));
    return raw;
  }
  if (type == "variant" || type == "object" || type == "array" || type == "map") {
    return parse_service_json(text).value_or(raw);
  }
  return raw;
}

std::shared_ptr<sql::Driver> make_snowflake_driver(SnowflakeDriverOptions options) {
  return std::make_shared<SnowflakeDriver>(options);
}

}  // namespace velko::platform::sql_remote
