#include "velko/platform/db_utils/urls.h"

#include <filesystem>
#include <vector>

#include "velko/base/strings.h"

namespace velko::platform::db_utils {
namespace {

std::string join_query(const std::vector<std::pair<std::string, std::string>>& params) {
  std::string out;
  for (const auto& [key, value] : params) {
    out += out.empty() ? "?" : "&";
    out += key + "=" + encode_query_value(value);
  }
  return out;
}

// A host as it enters the authority: a name or an IPv4 address comes through unchanged,
// an IPv6 literal in brackets too; any other byte (":", "/", "?", "#", "@", ...) is
// percent-encoded, so no value can add a port, a path, a query or credentials.
std::string encode_host(std::string_view host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']' &&
      host.find_first_not_of("0123456789abcdefABCDEF:.", 1) == host.size() - 1) {
    return std::string(host);
  }
  return base::percent_encode(host);
}

// A path segment (database, schema, dataset) or a port: unreserved bytes unchanged.
std::string encode_segment(std::string_view text) { return base::percent_encode(text); }

}  // namespace

const std::map<std::string, std::string> DIALECT_MAP = {
    {"SNOWFLAKE", "snowflake"},
    {"DATABRICKS", "databricks"},
    {"POSTGRES", "postgres"},
};

sql_lexer::SqlDialect dialect_for(std::string_view type, sql_lexer::SqlDialect fallback) {
  auto found = DIALECT_MAP.find(std::string(type));
  return found == DIALECT_MAP.end() ? fallback : sql_lexer::parse_sql_dialect(found->second);
}

sql_lexer::SqlDialect dialect_for(DatabaseType type, sql_lexer::SqlDialect fallback) {
  return dialect_for(database_type_name(type), fallback);
}

std::string percent_encode(std::string_view text) { return base::percent_encode(text); }
std::string encode_query_value(std::string_view text) { return base::percent_encode(text, "/"); }

std::string percent_decode(std::string_view text) { return base::percent_decode(text); }

std::string build_snowflake_url(const SnowflakeUrlArgs& args) {
  std::string url = "snowflake://" + percent_encode(args.username) + ":" + percent_encode(args.password) + "@" +
                    encode_host(args.account);
  if (!args.database.empty()) {
    url += "/" + encode_segment(args.database);
    if (!args.schema.empty()) url += "/" + encode_segment(args.schema);
  }
  std::vector<std::pair<std::string, std::string>> params;
  if (!args.warehouse.empty()) params.emplace_back("warehouse", args.warehouse);
  if (!args.role.empty()) params.emplace_back("role", args.role);
  return url + join_query(params);
}

std::string build_postgres_url(const PostgresUrlArgs& args) {
  std::string port = args.port.empty() ? "5432" : args.port;
  return "postgresql+psycopg://" + percent_encode(args.username) + ":" + percent_encode(args.password) + "@" +
         encode_host(args.host) + ":" + encode_segment(port) + "/" + encode_segment(args.database);
}

std::string build_databricks_url(const DatabricksUrlArgs& args) {
  std::string_view host = args.host;
  if (host.starts_with("https://")) {
    host.remove_prefix(8);
  } else if (host.starts_with("http://")) {
    host.remove_prefix(7);
  }
  if (host.ends_with('/')) host.remove_suffix(1);
  std::vector<std::pair<std::string, std::string>> params = {{"http_path", args.http_path}};
  if (!args.catalog.empty()) params.emplace_back("catalog", args.catalog);
  if (!args.schema.empty()) params.emplace_back("schema", args.schema);
  // A second trailing "/" (the host was given as "h//") stays the path's "/"; a port
  // after the host name stays a port.
  std::string_view slash = host.ends_with('/') ? "/" : "";
  host.remove_suffix(slash.size());
  std::string port;
  if (size_t colon = host.rfind(':'); colon != std::string_view::npos && colon + 1 < host.size() &&
                                      host.find_first_not_of("0123456789", colon + 1) == std::string_view::npos &&
                                      host.find(']') == std::string_view::npos) {
    port = std::string(host.substr(colon));
    host = host.substr(0, colon);
  }
  std::string authority = encode_host(host) + port + std::string(slash);
  return "databricks://token:" + percent_encode(args.token) + "@" + authority + join_query(params);
}

std::string build_clickhouse_url(const ClickhouseUrlArgs& args) {
  return "clickhousedb://" + percent_encode(args.username) + ":" + percent_encode(args.password) + "@" +
         encode_host(args.host) + ":" + encode_segment(args.port) + "/" + encode_segment(args.database) +
         "?secure=" + (args.secure ? "true" : "false");
}

std::string build_motherduck_url(const MotherduckUrlArgs& args) {
  return "duckdb:///md:" + args.database + "?motherduck_token=" + encode_query_value(args.token);
}

std::string build_bigquery_url(const BigqueryUrlArgs& args) {
  std::string url = "bigquery://" + encode_host(args.project_id);
  if (!args.dataset.empty()) url += "/" + encode_segment(args.dataset);
  std::vector<std::pair<std::string, std::string>> params;
  if (!args.location.empty()) params.emplace_back("location", args.location);
  if (!args.credentials_json.empty())
    params.emplace_back("credentials_base64", base::base64_encode(args.credentials_json));
  return url + join_query(params);
}

std::string build_sqlite_url(std::string_view path) {
  std::filesystem::path absolute = std::filesystem::absolute(std::filesystem::path(path));
  return "sqlite:///" + absolute.lexically_normal().string();
}

std::string build_duckdb_url(std::string_view path) {
  std::filesystem::path absolute = std::filesystem::absolute(std::filesystem::path(path));
  std::string text = absolute.lexically_normal().string();
  std::string out = "duckdb:///";
  for (char ch : text) {
    if (ch == '%' || ch == '?' || ch == '#') {
      out += percent_encode(std::string_view(&ch, 1));
    } else {
      out += ch;
    }
  }
  return out;
}

}  // namespace velko::platform::db_utils
