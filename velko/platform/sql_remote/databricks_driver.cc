#include "velko/platform/sql_remote/databricks_driver.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "velko/base/errors.h"
#include "velko/base/http.h"
#include "velko/base/redact.h"
#include "velko/base/strings.h"
#include "velko/platform/db_utils/urls.h"
#include "velko/platform/sql/statement_watch.h"
#include "velko/platform/sql_remote/remote_common.h"

namespace velko::platform::sql_remote {
namespace {

constexpr const char* kStatements = "/api/2.0/sql/statements/";

// "decimal(10,2)" -> "DECIMAL(10,2)", "struct<a:int>" -> "STRUCT<a:int>": the leading
// type word in upper case, field names left alone.
std::string type_text(std::string_view type) {
  size_t word_end = type.find_first_of("(<");
  if (word_end == std::string_view::npos) return base::ascii_upper(type);
  return base::ascii_upper(type.substr(0, word_end)) + std::string(type.substr(word_end));
}

std::string quote_identifier(std::string_view name) {
  std::string quoted = "`";
  quoted += base::replace_all(std::string(name), "`", "``");
  quoted += '`';
  return quoted;
}

struct Endpoint {
  std::string base_url;  // scheme://host[:port]
  std::string token;
  std::string warehouse_id;
  std::string catalog;
  std::string schema;
};

struct NamedParameter {
  std::string name, value;
};

class DatabricksConnection : public ReadOnlyHttpConnection {
 public:
  DatabricksConnection(Endpoint endpoint, DatabricksDriverOptions options)
      : endpoint_(std::move(endpoint)), options_(options) {}

  std::vector<std::string> list_schemas(const sql::ExecuteOptions& options) override {
    std::vector<std::string> names = column_values(run("SHOW SCHEMAS", {}, 0, options), {"databaseName", "namespace"});
    std::sort(names.begin(), names.end());
    return names;
  }

  std::vector<std::string> list_tables(const std::string& schema, const sql::ExecuteOptions& options) override {
    sql::Result result;
    try {
      result = run("SHOW TABLES IN " + quote_identifier(schema), {}, 0, options);
    } catch (const base::DatabaseError& error) {
      if (std::string_view(error.what()).find("SCHEMA_NOT_FOUND") != std::string_view::npos) return {};
      throw;
    }
    if (!result.returns_rows()) return {};
    const auto& keys = result.keys();
    auto temporary = std::find(keys.begin(), keys.end(), "isTemporary");
    size_t temporary_index = static_cast<size_t>(temporary - keys.begin());
    std::vector<std::string> names;
    size_t name_index = column_index(result, {"tableName"}, 1);
    for (const auto& row : result.fetchall()) {
      if (temporary != keys.end() && row.at(temporary_index).is_boolean() && row.at(temporary_index).get<bool>()) {
        continue;  // session views, not tables of the schema
      }
      if (row.at(name_index).is_string()) names.push_back(row.at(name_index).get<std::string>());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::vector<sql::ColumnInfo> get_columns(const std::string& schema, const std::string& table,
                                           const sql::ExecuteOptions& options) override {
    std::vector<sql::ColumnInfo> columns;
    try {
      sql::Result result =
          run("SELECT column_name, full_data_type, is_nullable FROM information_schema.columns "
              "WHERE lower(table_schema) = lower(:schema) AND lower(table_name) = lower(:table) "
              "ORDER BY ordinal_position",
              {{"schema", schema}, {"table", table}}, 0, options);
      for (const auto& row : result.returns_rows() ? result.fetchall() : std::vector<sql::Row>{}) {
        if (row.size() < 3 || !row[0].is_string() || !row[1].is_string()) continue;
        columns.push_back(sql::ColumnInfo{row.at(0).get<std::string>(), type_text(row.at(1).get<std::string>()),
                                          row.at(2).is_string() && row.at(2).get<std::string>() == "YES"});
      }
    } catch (const base::DatabaseError&) {
      columns.clear();  // no information schema in this catalog: DESCRIBE below
    }
    if (!columns.empty()) return columns;

    sql::Result described;
    try {
      described = run("DESCRIBE TABLE " + quote_identifier(schema) + "." + quote_identifier(table), {}, 0, options);
    } catch (const base::DatabaseError& error) {
      std::string_view message = error.what();
      if (message.find("TABLE_OR_VIEW_NOT_FOUND") != std::string_view::npos ||
          message.find("SCHEMA_NOT_FOUND") != std::string_view::npos) {
        throw base::DatabaseError("Table '" + schema + "." + table + "' not found");
      }
      throw;
    }
    for (const auto& row : described.returns_rows() ? described.fetchall() : std::vector<sql::Row>{}) {
      if (row.size() < 2 || !row[0].is_string()) continue;
      std::string name = row[0].get<std::string>();
      if (name.empty() || name.starts_with("#")) break;  // partition and detail sections
      columns.push_back(sql::ColumnInfo{name, row[1].is_string() ? type_text(row[1].get<std::string>()) : "", true});
    }
    if (columns.empty()) throw base::DatabaseError("Table '" + schema + "." + table + "' not found");
    return columns;
  }

  // Checks the token and the warehouse without starting it, within CONNECT_TIMEOUT.
  void check() {
    base::HttpResponse response =
        send("GET", "/api/2.0/sql/warehouses/" + db_utils::percent_encode(endpoint_.warehouse_id), std::nullopt,
             std::min(options_.request_timeout_seconds, static_cast<double>(sql::CONNECT_TIMEOUT.count())));
    if (response.status == 404) {
      throw base::DatabaseError("SQL warehouse '" + endpoint_.warehouse_id + "' not found: " + error_text(response));
    }
    if (response.status >= 400) throw base::DatabaseError(error_text(response));
  }

 private:
  sql::Result run_read(const std::string& statement, const sql::ExecuteOptions& options) override {
    return run(statement, {}, options.max_rows, options);
  }

  base::HttpResponse send(const std::string& method, const std::string& path, const std::optional<Json>& body,
                          std::optional<double> timeout_seconds = std::nullopt) const {
    base::HttpRequest request;
    request.method = method;
    request.url = endpoint_.base_url + path;
    request.headers = {{"Authorization", "Bearer " + endpoint_.token}, {"User-Agent", "velko"}};
    if (body) {
      request.headers.emplace_back("Content-Type", "application/json");
      request.body = body->dump();
    }
    request.timeout_seconds = timeout_seconds.value_or(options_.request_timeout_seconds);
    base::Redactor redactor;
    redactor.add_secret(endpoint_.token);
    return exchange("Databricks", request, redactor);
  }

  std::string error_text(const base::HttpResponse& response) const {
    Json body = Json::parse(response.body, nullptr, false);
    std::string message = base::text_member(body, "message");
    std::string code = base::text_member(body, "error_code");
    std::string text;
    if (!message.empty()) {
      text = code.empty() || message.find(code) != std::string::npos ? message : code + ": " + message;
    } else if (response.status == 401 || response.status == 403) {
      text =
          "Databricks refused the access token (HTTP " + std::to_string(response.status) + " " + response.reason + ")";
    } else {
      text = "Databricks answered HTTP " + std::to_string(response.status) + " " + response.reason;
    }
    return scrub(message_text(text));
  }

  std::string scrub(std::string text) const {
    base::Redactor redactor;
    redactor.add_secret(endpoint_.token);
    return redactor.redact(text);
  }

  Json read_json(const base::HttpResponse& response) const {
    if (response.status >= 400) throw base::DatabaseError(error_text(response));
    Json body = Json::parse(response.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
      throw base::DatabaseError("Databricks sent an answer this driver cannot read (HTTP " +
                                std::to_string(response.status) + ")");
    }
    return body;
  }

  static std::string state_of(const Json& answer) {
    auto status = answer.find("status");
    return status == answer.end() ? std::string() : base::text_member(*status, "state");
  }

  void cancel(const std::string& statement_id) const {
    try {
      send("POST", kStatements + db_utils::percent_encode(statement_id) + "/cancel", Json::object());
    } catch (const std::exception&) {
      // The time-out is what the caller hears about.
    }
  }

  sql::Result run(const std::string& statement, const std::vector<NamedParameter>& parameters, size_t max_rows,
                  const sql::ExecuteOptions& call) {
    base::throw_if_cancelled(call.cancel);
    sql::ExecuteOptions limits = call;
    if (limits.timeout.count() <= 0) {
      limits.timeout = std::chrono::milliseconds(static_cast<long long>(options_.timeout_seconds * 1000));
    }
    // A POST that waits for the statement cannot be interrupted: with a cancel signal,
    // or a limit shorter than the wait, the statement is started without waiting and
    // polled, so either is seen within a poll.
    int wait_seconds = options_.wait_timeout_seconds;
    if (call.cancel || (call.timeout.count() > 0 && call.timeout < std::chrono::seconds(wait_seconds + 1))) {
      wait_seconds = 0;
    }
    sql::StatementWatch watch(limits, nullptr);
    Json request = {{"statement", statement},
                    {"warehouse_id", endpoint_.warehouse_id},
                    {"wait_timeout", std::to_string(wait_seconds) + "s"},
                    {"on_wait_timeout", "CONTINUE"},
                    {"disposition", "INLINE"},
                    {"format", "JSON_ARRAY"}};
    if (!endpoint_.catalog.empty()) request["catalog"] = endpoint_.catalog;
    if (!endpoint_.schema.empty()) request["schema"] = endpoint_.schema;
    if (max_rows > 0) request["row_limit"] = max_rows;
    if (!parameters.empty()) {
      Json list = Json::array();
      for (const auto& parameter : parameters) {
        list.push_back({{"name", parameter.name}, {"value", parameter.value}, {"type", "STRING"}});
      }
      request["parameters"] = std::move(list);
    }

    Json answer = read_json(send("POST", kStatements, request));
    std::string statement_id = base::text_member(answer, "statement_id");
    std::chrono::milliseconds pause = options_.first_poll;
    std::string state = state_of(answer);
    while (state == "PENDING" || state == "RUNNING") {
      if (statement_id.empty()) throw base::DatabaseError("Databricks sent no statement id for a running statement");
      if (!watch.sleep_for(pause)) {
        cancel(statement_id);  // the time limit passed or the caller cancelled
        watch.throw_if_stopped();
      }
      pause = std::min(pause * 2, options_.longest_poll);
      answer = read_json(send("GET", kStatements + db_utils::percent_encode(statement_id), std::nullopt));
      state = state_of(answer);
    }
    if (state == "FAILED") {
      const Json& status = answer["status"];
      std::string message = status.contains("error") ? base::text_member(status["error"], "message") : std::string();
      throw base::DatabaseError(message.empty() ? "The statement failed" : scrub(message_text(message)));
    }
    if (state == "CANCELED") throw base::DatabaseError("The statement was cancelled");
    if (state == "CLOSED") throw base::DatabaseError("The statement was closed before its result was read");
    if (state != "SUCCEEDED") {
      throw base::DatabaseError("Databricks reported the statement in an unknown state '" + message_text(state, 40) +
                                "'");
    }
    return read_result(statement_id, answer, max_rows, watch);
  }

  sql::Result read_result(const std::string& statement_id, const Json& answer, size_t max_rows,
                          const sql::StatementWatch& watch) {
    auto manifest = answer.find("manifest");
    if (manifest == answer.end() || !manifest->is_object()) return sql::Result();
    std::vector<std::pair<long long, std::pair<std::string, std::string>>> ordered;  // position, name, type
    auto schema = manifest->find("schema");
    if (schema != manifest->end() && schema->contains("columns") && (*schema)["columns"].is_array()) {
      long long fallback = 0;
      for (const auto& column : (*schema)["columns"]) {
        long long position = column.contains("position") && column["position"].is_number_integer()
                                 ? column["position"].get<long long>()
                                 : fallback;
        ++fallback;
        ordered.push_back({position, {base::text_member(column, "name"), base::text_member(column, "type_name")}});
      }
    }
    std::stable_sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> keys;
    std::vector<std::string> types;
    for (auto& [position, column] : ordered) {
      keys.push_back(std::move(column.first));
      types.push_back(std::move(column.second));
    }

    std::vector<sql::Row> rows;
    bool truncated = manifest->contains("truncated") && (*manifest)["truncated"].is_boolean() &&
                     (*manifest)["truncated"].get<bool>();
    auto take = [&](const Json& chunk) {
      auto data = chunk.find("data_array");
      if (data == chunk.end()) return;
      append_json_rows(
          *data, keys.size(), max_rows, [&](size_t idx, const Json& raw) { return databricks_value(types[idx], raw); },
          "Databricks", rows, truncated);
    };

    Json chunk = answer.contains("result") && answer["result"].is_object() ? answer["result"] : Json::object();
    take(chunk);
    constexpr int kMostChunks = 100000;
    for (int fetched = 0; fetched < kMostChunks; ++fetched) {
      std::string link = base::text_member(chunk, "next_chunk_internal_link");
      if (link.empty() && chunk.contains("next_chunk_index") && chunk["next_chunk_index"].is_number_integer()) {
        link = kStatements + db_utils::percent_encode(statement_id) + "/result/chunks/" +
               std::to_string(chunk["next_chunk_index"].get<long long>());
      }
      if (link.empty()) break;
      if (max_rows > 0 && rows.size() >= max_rows) {
        truncated = true;  // rows remain in chunks not fetched
        break;
      }
      if (!link.starts_with("/")) throw base::DatabaseError("Databricks sent a chunk link outside its API");
      watch.throw_if_stopped();
      chunk = read_json(send("GET", link, std::nullopt));
      take(chunk);
    }
    return sql::Result(std::move(keys), std::move(rows), truncated);
  }

  // The column named one of `names`, else column `fallback` (when the result has it).
  static size_t column_index(const sql::Result& result, std::initializer_list<const char*> names, size_t fallback) {
    const auto& keys = result.keys();
    for (const char* name : names) {
      auto found = std::find(keys.begin(), keys.end(), name);
      if (found != keys.end()) return static_cast<size_t>(found - keys.begin());
    }
    if (fallback >= keys.size()) throw base::DatabaseError("Databricks sent a result without the expected columns");
    return fallback;
  }

  static std::vector<std::string> column_values(const sql::Result& result, std::initializer_list<const char*> names) {
    if (!result.returns_rows()) return {};
    size_t index = column_index(result, names, 0);
    std::vector<std::string> values;
    for (const auto& row : result.fetchall()) {
      if (row.at(index).is_string()) values.push_back(row.at(index).get<std::string>());
    }
    return values;
  }

  Endpoint endpoint_;
  DatabricksDriverOptions options_;
};

class DatabricksDriver : public sql::Driver {
 public:
  explicit DatabricksDriver(DatabricksDriverOptions options) : options_(options) {
    if (options_.wait_timeout_seconds != 0)
      options_.wait_timeout_seconds = std::clamp(options_.wait_timeout_seconds, 5, 50);
  }

  std::unique_ptr<sql::DriverConnection> connect(const sql::Url& url) override {
    if (!url.host || url.host->empty()) throw base::DatabaseError("The Databricks URL names no host");
    if (!url.password || url.password->empty()) throw base::DatabaseError("The Databricks URL holds no access token");
    std::string http_path = url.query_value("http_path").value_or("");
    while (http_path.ends_with('/')) http_path.pop_back();
    size_t slash = http_path.rfind('/');
    std::string warehouse_id = slash == std::string::npos ? http_path : http_path.substr(slash + 1);
    if (warehouse_id.empty()) {
      throw base::DatabaseError("The Databricks URL's http_path names no SQL warehouse (/sql/1.0/warehouses/<id>)");
    }
    if (http_path.find("/protocolv1/") != std::string::npos) {
      throw base::DatabaseError(
          "The http_path names an all-purpose cluster; this driver runs statements on SQL warehouses only");
    }
    Endpoint endpoint;
    std::string host = *url.host;
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    endpoint.base_url = std::string(options_.use_https ? "https://" : "http://") + host;
    if (url.port) endpoint.base_url += ":" + std::to_string(*url.port);
    endpoint.token = *url.password;
    endpoint.warehouse_id = warehouse_id;
    endpoint.catalog = url.query_value("catalog").value_or("");
    endpoint.schema = url.query_value("schema").value_or("");
    auto connection = std::make_unique<DatabricksConnection>(std::move(endpoint), options_);
    connection->check();
    return connection;
  }

 private:
  DatabricksDriverOptions options_;
};

}  // namespace

Json databricks_value(std::string_view type_name, const Json& raw) {
  if (!raw.is_string()) return raw;
  const std::string& text = raw.get_ref<const std::string&>();
  std::string type = base::ascii_upper(type_name);
  if (type == "BYTE" || type == "SHORT" || type == "INT" || type == "LONG" || type == "TINYINT" || type == "SMALLINT" ||
      type == "BIGINT" || type == "INTEGER") {
    if (auto value = integer_value(text)) return *value;
    return raw;
  }
  if (type == "FLOAT" || type == "DOUBLE" || type == "REAL") {
    if (auto value = float_value(text)) return Json(*value);
    return raw;
  }
  if (type == "BOOLEAN") {
    if (text == "true") return Json(true);
    if (text == "false") return Json(false);
    return raw;
  }
  if (type == "TIMESTAMP" || type == "TIMESTAMP_NTZ") return Json(timestamp_text(text));
  if (type == "ARRAY" || type == "MAP" || type == "STRUCT") {
    Json parsed = Json::parse(text, nullptr, false);
    return parsed.is_discarded() ? raw : parsed;
  }
  if (type == "NULL" || type == "VOID") return nullptr;
  return raw;
}

std::shared_ptr<sql::Driver> make_databricks_driver(DatabricksDriverOptions options) {
  return std::make_shared<DatabricksDriver>(options);
}

}  // namespace velko::platform::sql_remote
