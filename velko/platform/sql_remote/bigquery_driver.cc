#include "velko/platform/sql_remote/bigquery_driver.h"

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
#include "velko/platform/sql_remote/service_account.h"
#include "velko/platform/sql_remote/statement_control.h"

namespace velko::platform::sql_remote {
namespace {

constexpr const char* kScope = "https://www.googleapis.com/auth/bigquery";
constexpr const char* kDefaultRoot = "https://bigquery.googleapis.com";
constexpr int kMostPages = 1000;

const Json& member(const Json& object, const char* key) {
  static const Json kNull;
  if (!object.is_object()) return kNull;
  auto found = object.find(key);
  return found == object.end() ? kNull : *found;
}

std::string encode(std::string_view segment) { return db_utils::percent_encode(segment); }

// "STRUCT<a INT64, b ARRAY<STRING>>" for a RECORD field, "ARRAY<...>" when REPEATED.
std::string field_type_text(const Json& field, int depth = 0) {
  std::string type = base::ascii_upper(base::text_member(field, "type"));
  if ((type == "RECORD" || type == "STRUCT") && depth < 16) {
    std::string inner;
    for (const auto& sub : member(field, "fields").is_array() ? member(field, "fields") : Json::array()) {
      inner += (inner.empty() ? "" : ", ") + base::text_member(sub, "name") + " " + field_type_text(sub, depth + 1);
    }
    type = "STRUCT<" + inner + ">";
  }
  if (base::ascii_upper(base::text_member(field, "mode")) == "REPEATED") type = "ARRAY<" + type + ">";
  return type;
}

struct Endpoint {
  std::string root;  // API root, no trailing "/"
  std::string project;
  std::string dataset;
  std::string location;
  ServiceAccountKey key;
};

class BigqueryConnection : public ReadOnlyHttpConnection {
 public:
  BigqueryConnection(Endpoint endpoint, BigqueryDriverOptions options)
      : endpoint_(std::move(endpoint)), options_(options) {}

  std::vector<std::string> list_schemas(const sql::ExecuteOptions& options) override {
    std::vector<std::string> names;
    for (const auto& item : list_pages(project_path() + "/datasets", "datasets", options)) {
      std::string name = base::text_member(member(item, "datasetReference"), "datasetId");
      if (!name.empty()) names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::vector<std::string> list_tables(const std::string& schema, const sql::ExecuteOptions& options) override {
    std::vector<std::string> names;
    std::vector<Json> items;
    try {
      items = list_pages(project_path() + "/datasets/" + encode(schema) + "/tables", "tables", options);
    } catch (const NotFound&) {
      return {};
    }
    for (const auto& item : items) {
      std::string name = base::text_member(member(item, "tableReference"), "tableId");
      if (!name.empty()) names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::vector<sql::ColumnInfo> get_columns(const std::string& schema, const std::string& table,
                                           const sql::ExecuteOptions& options) override {
    Json answer;
    try {
      answer = get_json(project_path() + "/datasets/" + encode(schema) + "/tables/" + encode(table),
                        inspection_options(options));
    } catch (const NotFound&) {
      throw base::DatabaseError("Table '" + schema + "." + table + "' not found");
    }
    std::vector<sql::ColumnInfo> columns;
    const Json& fields = member(member(answer, "schema"), "fields");
    for (const auto& field : fields.is_array() ? fields : Json::array()) {
      std::string mode = base::ascii_upper(base::text_member(field, "mode"));
      columns.push_back({base::text_member(field, "name"), field_type_text(field), mode.empty() || mode == "NULLABLE"});
    }
    if (columns.empty()) throw base::DatabaseError("Table '" + schema + "." + table + "' not found");
    return columns;
  }

  // Obtains an access token, which checks the key.
  void check() { access_token(10); }

 private:
  struct NotFound : base::DatabaseError {
    using base::DatabaseError::DatabaseError;
  };

  std::string project_path() const { return "/bigquery/v2/projects/" + encode(endpoint_.project); }

  // A dry run first: only a query job may run.
  sql::Result run_read(const std::string& statement, const sql::ExecuteOptions& options) override {
    StatementControl control(options);
    control.throw_if_needed();
    dry_run(statement, control);
    return run(statement, options.max_rows, control);
  }

  std::string access_token(double timeout_seconds) {
    return AccessTokens::shared().token(endpoint_.key, kScope, timeout_seconds);
  }

  std::string scrub(std::string text) const {
    base::Redactor redactor;
    redactor.add_secret(token_);
    return redactor.redact(text);
  }

  base::HttpResponse send(const std::string& method, const std::string& path_and_query, const std::optional<Json>& body,
                          double timeout_seconds) {
    token_ = access_token(std::min(timeout_seconds, 30.0));
    base::HttpRequest request;
    request.method = method;
    request.url = endpoint_.root + path_and_query;
    request.headers = {
        {"Authorization", "Bearer " + token_}, {"Accept", "application/json"}, {"User-Agent", "velko/0.1"}};
    if (body) {
      request.headers.emplace_back("Content-Type", "application/json");
      request.body = body->dump();
    }
    request.timeout_seconds = timeout_seconds;
    base::Redactor redactor;
    redactor.add_secret(token_);
    return exchange("BigQuery", request, redactor);
  }

  std::string error_text(const base::HttpResponse& response) const {
    Json body = parse_service_json(response.body).value_or(Json());
    const Json& error = member(body, "error");
    std::string message = base::text_member(error, "message");
    std::string reason;
    const Json& errors = member(error, "errors");
    if (errors.is_array() && !errors.empty()) reason = base::text_member(errors[0], "reason");
    std::string text;
    if (!message.empty()) {
      text = reason.empty() ? message : reason + ": " + message;
    } else {
      text = "BigQuery answered HTTP " + std::to_string(response.status) + " " + response.reason;
    }
    if (response.status == 401 || response.status == 403) {
      text = "BigQuery refused the service account (HTTP " + std::to_string(response.status) + "): " + text;
    }
    return scrub(message_text(text));
  }

  Json read_json(const base::HttpResponse& response) const {
    if (response.status == 404) throw NotFound(error_text(response));
    if (response.status >= 400) throw base::DatabaseError(error_text(response));
    std::optional<Json> body = parse_service_json(response.body);
    if (!body || !body->is_object()) {
      throw base::DatabaseError("BigQuery sent an answer this driver cannot read (HTTP " +
                                std::to_string(response.status) + ")");
    }
    return *body;
  }

  Json get_json(const std::string& path_and_query, const sql::ExecuteOptions& options) {
    StatementControl control(options);
    return read_json(
        send("GET", path_and_query, std::nullopt, control.request_seconds(options_.request_timeout_seconds)));
  }

  std::vector<Json> list_pages(const std::string& path, const char* items_key, const sql::ExecuteOptions& caller) {
    std::vector<Json> items;
    StatementControl control(inspection_options(caller));
    std::string page_token;
    for (int page = 0; page < kMostPages; ++page) {
      control.throw_if_needed();
      std::string query = "?maxResults=1000";
      if (!page_token.empty()) query += "&pageToken=" + db_utils::encode_query_value(page_token);
      Json answer =
          read_json(send("GET", path + query, std::nullopt, control.request_seconds(options_.request_timeout_seconds)));
      const Json& list = member(answer, items_key);
      if (list.is_array()) items.insert(items.end(), list.begin(), list.end());
      page_token = base::text_member(answer, "nextPageToken");
      if (page_token.empty()) break;
    }
    return items;
  }

  Json query_settings(const std::string& statement) const {
    Json settings = {{"query", statement}, {"useLegacySql", false}};
    if (!endpoint_.dataset.empty()) {
      settings["defaultDataset"] = {{"projectId", endpoint_.project}, {"datasetId", endpoint_.dataset}};
    }
    return settings;
  }

  void dry_run(const std::string& statement, StatementControl& control) {
    Json job = {{"configuration", {{"dryRun", true}, {"query", query_settings(statement)}}}};
    job["jobReference"] = {{"projectId", endpoint_.project}};
    if (!endpoint_.location.empty()) job["jobReference"]["location"] = endpoint_.location;
    Json answer = read_json(
        send("POST", project_path() + "/jobs", job, control.request_seconds(options_.request_timeout_seconds)));
    std::string type = base::text_member(member(member(answer, "statistics"), "query"), "statementType");
    if (type != "SELECT") {
      throw base::DatabaseError("Only SELECT statements can be run on BigQuery (the dry run found " +
                                (type.empty() ? std::string("no statement type") : message_text(type, 60)) + ")");
    }
  }

  long long wait_ms(const StatementControl& control) const {
    double seconds = control.request_seconds(std::chrono::duration<double>(options_.wait).count(), 0.0);
    return std::max<long long>(0, static_cast<long long>(seconds * 1000));
  }

  std::string location_query(const std::string& location) const {
    return location.empty() ? std::string() : "location=" + db_utils::encode_query_value(location);
  }

  void cancel(const std::string& job_id, const std::string& location) {
    if (job_id.empty()) return;
    try {
      std::string query = location_query(location);
      send("POST", project_path() + "/jobs/" + encode(job_id) + "/cancel" + (query.empty() ? "" : "?" + query),
           Json::object(), 5);
    } catch (const std::exception&) {
      // The time-out or the cancellation is what the caller hears about.
    }
  }

  sql::Result run(const std::string& statement, size_t max_rows, StatementControl& control) {
    Json request = query_settings(statement);
    if (max_rows > 0) request["maxResults"] = max_rows;
    request["timeoutMs"] = wait_ms(control);
    if (long long limit = control.limit_seconds(); limit > 0) request["jobTimeoutMs"] = std::to_string(limit * 1000);
    if (!endpoint_.location.empty()) request["location"] = endpoint_.location;
    double slack = options_.request_timeout_seconds;
    Json answer = read_json(send("POST", project_path() + "/queries", request, control.request_seconds(slack)));
    const Json& reference = member(answer, "jobReference");
    std::string job_id = base::text_member(reference, "jobId");
    std::string location = base::text_member(reference, "location");
    if (location.empty()) location = endpoint_.location;
    auto stop = [&] { cancel(job_id, location); };
    auto results_path = [&](const std::string& page_token, size_t page_size) {
      std::string query = "?timeoutMs=" + std::to_string(wait_ms(control));
      if (page_size > 0) query += "&maxResults=" + std::to_string(page_size);
      if (!location.empty()) query += "&" + location_query(location);
      if (!page_token.empty()) query += "&pageToken=" + db_utils::encode_query_value(page_token);
      return project_path() + "/queries/" + encode(job_id) + query;
    };
    while (!(member(answer, "jobComplete").is_boolean() && member(answer, "jobComplete").get<bool>())) {
      if (job_id.empty()) throw base::DatabaseError("BigQuery sent no job id for a running query");
      control.stop_if_needed(stop);
      answer = read_json(send("GET", results_path("", max_rows), std::nullopt, control.request_seconds(slack)));
      control.stop_if_needed(stop);
    }
    const Json& errors = member(answer, "errors");
    if (errors.is_array() && !errors.empty() && !answer.contains("rows")) {
      throw base::DatabaseError(scrub(message_text(base::text_member(errors[0], "message"))));
    }

    Json fields = member(member(answer, "schema"), "fields");
    if (!fields.is_array()) fields = Json::array();
    std::vector<std::string> keys;
    for (const auto& field : fields) keys.push_back(base::text_member(field, "name"));
    std::vector<sql::Row> rows;
    bool truncated = false;
    auto take = [&](const Json& page) {
      const Json& list = member(page, "rows");
      if (!list.is_array()) return;
      for (const auto& item : list) {
        if (max_rows > 0 && rows.size() >= max_rows) {
          truncated = true;
          return;
        }
        const Json& cells = member(item, "f");
        if (!cells.is_array() || cells.size() != keys.size()) {
          throw base::DatabaseError("BigQuery sent a row that does not match the result's columns");
        }
        sql::Row row;
        row.reserve(keys.size());
        for (size_t idx = 0; idx < keys.size(); ++idx)
          row.push_back(bigquery_value(fields[idx], member(cells[idx], "v")));
        rows.push_back(std::move(row));
      }
    };
    take(answer);
    std::string page_token = base::text_member(answer, "pageToken");
    long long total = -1;
    if (auto count = integer_value(base::text_member(answer, "totalRows")); count && count->is_number_integer()) {
      total = count->get<long long>();
    }
    for (int page = 0; !page_token.empty() && page < kMostPages; ++page) {
      if (max_rows > 0 && rows.size() >= max_rows) {
        truncated = true;  // rows remain in pages not fetched
        break;
      }
      control.stop_if_needed([] {});
      size_t wanted = max_rows > 0 ? max_rows - rows.size() : 0;
      Json next =
          read_json(send("GET", results_path(page_token, wanted), std::nullopt, control.request_seconds(slack)));
      take(next);
      page_token = base::text_member(next, "pageToken");
    }
    if (!page_token.empty() || (total >= 0 && static_cast<long long>(rows.size()) < total)) truncated = true;
    return sql::Result(std::move(keys), std::move(rows), truncated);
  }

  Endpoint endpoint_;
  BigqueryDriverOptions options_;
  std::string token_;  // the access token last used, scrubbed from error texts
};

class BigqueryDriver : public sql::Driver {
 public:
  explicit BigqueryDriver(BigqueryDriverOptions options) : options_(options) {}

  std::unique_ptr<sql::DriverConnection> connect(const sql::Url& url) override {
    Endpoint endpoint;
    std::string credentials = url.query_value("credentials_base64").value_or("");
    if (credentials.empty()) {
      throw base::DatabaseError(
          "The BigQuery connection holds no service-account key (--keyfile, or the key JSON as the password)");
    }
    endpoint.key = parse_service_account_key(base64_decode(credentials));
    endpoint.project = url.host.value_or("");
    if (endpoint.project.empty()) endpoint.project = endpoint.key.project_id;
    if (endpoint.project.empty()) throw base::DatabaseError("The BigQuery URL names no project");
    endpoint.dataset = url.database.value_or("");
    endpoint.location = url.query_value("location").value_or("");
    endpoint.root = service_base_url(BIGQUERY_URL_ENV, kDefaultRoot);
    auto connection = std::make_unique<BigqueryConnection>(std::move(endpoint), options_);
    connection->check();
    return connection;
  }

 private:
  BigqueryDriverOptions options_;
};

}  // namespace

Json bigquery_value(const Json& field, const Json& raw) {
  if (base::ascii_upper(base::text_member(field, "mode")) == "REPEATED") {
    Json items = Json::array();
    if (!raw.is_array()) return raw.is_null() ? items : raw;
    Json element = field;
    element["mode"] = "NULLABLE";
    for (const auto& item : raw) items.push_back(bigquery_value(element, member(item, "v")));
    return items;
  }
  if (raw.is_null()) return nullptr;
  std::string type = base::ascii_upper(base::text_member(field, "type"));
  if (type == "RECORD" || type == "STRUCT") {
    const Json& sub_fields = member(field, "fields");
    const Json& cells = member(raw, "f");
    if (!sub_fields.is_array() || !cells.is_array() || cells.size() != sub_fields.size()) return raw;
    Json object = Json::object();
    for (size_t idx = 0; idx < cells.size(); ++idx) {
      object[base::text_member(sub_fields[idx], "name")] = bigquery_value(sub_fields[idx], member(cells[idx], "v"));
    }
    return object;
  }
  if (!raw.is_string()) return raw;
  const std::string& text = raw.get_ref<const std::string&>();
  if (type == "INT64" || type == "INTEGER") {
    if (auto value = integer_value(text)) return *value;
    return raw;
  }
  if (type == "FLOAT64" || type == "FLOAT") {
    if (auto value = float_value(text)) return Json(*value);
    return raw;
  }
  if (type == "BOOL" || type == "BOOLEAN") {
    if (text == "true") return Json(true);
    if (text == "false") return Json(false);
    return raw;
  }
  if (type == "TIMESTAMP") {
    if (auto time = epoch_seconds(text)) return Json(epoch_timestamp_text(*time, 0));
    return raw;
  }
  if (type == "DATETIME") return Json(timestamp_text(text));
  if (type == "JSON") return parse_service_json(text).value_or(raw);
  return raw;
}

std::shared_ptr<sql::Driver> make_bigquery_driver(BigqueryDriverOptions options) {
  return std::make_shared<BigqueryDriver>(options);
}

}  // namespace velko::platform::sql_remote
