#include "velko/platform/db_utils/urls.h"

#include <filesystem>
#include <vector>

namespace velko::platform::db_utils {
namespace {

constexpr char kHexUpper[] = "0123456789ABCDEF";

bool is_unreserved(unsigned char ch) {
  return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '-' ||
         ch == '.' || ch == '_' || ch == '~';
}

std::string encode(std::string_view text, bool keep_slash) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char ch : text) {
    if (is_unreserved(ch) || (keep_slash && ch == '/')) {
      out += static_cast<char>(ch);
    } else {
      out += '%';
      out += kHexUpper[ch >> 4];
      out += kHexUpper[ch & 0xF];
    }
  }
  return out;
}

std::string join_query(const std::vector<std::pair<std::string, std::string>>& params) {
  std::string out;
  for (const auto& [key, value] : params) {
    out += out.empty() ? "?" : "&";
    out += key + "=" + encode_query_value(value);
  }
  return out;
}

int hex_value(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

std::string base64(std::string_view data) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t idx = 0;
  while (idx + 2 < data.size()) {
    uint32_t chunk = (static_cast<unsigned char>(data[idx]) << 16) | (static_cast<unsigned char>(data[idx + 1]) << 8) |
                     static_cast<unsigned char>(data[idx + 2]);
    out += kAlphabet[(chunk >> 18) & 63];
    out += kAlphabet[(chunk >> 12) & 63];
    out += kAlphabet[(chunk >> 6) & 63];
    out += kAlphabet[chunk & 63];
    idx += 3;
  }
  size_t rest = data.size() - idx;
  if (rest > 0) {
    uint32_t chunk = static_cast<unsigned char>(data[idx]) << 16;
    if (rest == 2) chunk |= static_cast<unsigned char>(data[idx + 1]) << 8;
    out += kAlphabet[(chunk >> 18) & 63];
    out += kAlphabet[(chunk >> 12) & 63];
    out += rest == 2 ? kAlphabet[(chunk >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

}  // namespace

const std::map<std::string, std::string> DIALECT_MAP = {
    {"SNOWFLAKE", "snowflake"},
    {"DATABRICKS", "databricks"},
    {"POSTGRES", "postgres"},
};

std::string dialect_for(std::string_view type, std::string_view fallback) {
  auto found = DIALECT_MAP.find(std::string(type));
  return found == DIALECT_MAP.end() ? std::string(fallback) : found->second;
}

std::string percent_encode(std::string_view text) { return encode(text, false); }
std::string encode_query_value(std::string_view text) { return encode(text, true); }

std::string percent_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t idx = 0; idx < text.size(); ++idx) {
    if (text[idx] == '%' && idx + 2 < text.size()) {
      int high = hex_value(text[idx + 1]);
      int low = hex_value(text[idx + 2]);
      if (high >= 0 && low >= 0) {
        out += static_cast<char>(high * 16 + low);
        idx += 2;
        continue;
      }
    }
    out += text[idx];
  }
  return out;
}

std::string build_snowflake_url(const SnowflakeUrlArgs& args) {
  std::string url = "snowflake://" + percent_encode(args.username) + ":" + percent_encode(args.password) + "@" +
                    args.account;
  if (!args.database.empty()) {
    url += "/" + args.database;
    if (!args.schema.empty()) url += "/" + args.schema;
  }
  std::vector<std::pair<std::string, std::string>> params;
  if (!args.warehouse.empty()) params.emplace_back("warehouse", args.warehouse);
  if (!args.role.empty()) params.emplace_back("role", args.role);
  return url + join_query(params);
}

std::string build_postgres_url(const PostgresUrlArgs& args) {
  std::string port = args.port.empty() ? "5432" : args.port;
  return "postgresql+psycopg://" + percent_encode(args.username) + ":" + percent_encode(args.password) + "@" +
         args.host + ":" + port + "/" + args.database;
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
  return "databricks://token:" + percent_encode(args.token) + "@" + std::string(host) + join_query(params);
}

std::string build_clickhouse_url(const ClickhouseUrlArgs& args) {
  return "clickhousedb://" + percent_encode(args.username) + ":" + percent_encode(args.password) + "@" + args.host +
         ":" + args.port + "/" + args.database + "?secure=" + (args.secure ? "true" : "false");
}

std::string build_motherduck_url(const MotherduckUrlArgs& args) {
  return "duckdb:///md:" + args.database + "?motherduck_token=" + encode_query_value(args.token);
}

std::string build_bigquery_url(const BigqueryUrlArgs& args) {
  std::string url = "bigquery://" + args.project_id;
  if (!args.dataset.empty()) url += "/" + args.dataset;
  std::vector<std::pair<std::string, std::string>> params;
  if (!args.location.empty()) params.emplace_back("location", args.location);
  if (!args.credentials_json.empty()) params.emplace_back("credentials_base64", base64(args.credentials_json));
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

std::string redact_url(std::string_view url) {
  std::string out(url);
  size_t scheme_end = out.find("://");
  if (scheme_end != std::string::npos) {
    size_t authority_start = scheme_end + 3;
    size_t authority_end = out.find_first_of("/?#", authority_start);
    if (authority_end == std::string::npos) authority_end = out.size();
    size_t at = out.rfind('@', authority_end);
    if (at != std::string::npos && at >= authority_start) {
      size_t colon = out.find(':', authority_start);
      if (colon != std::string::npos && colon < at) out.replace(colon + 1, at - colon - 1, "***");
    }
  }
  // Secrets carried as query values.
  for (const char* key : {"motherduck_token=", "credentials_base64=", "password=", "token=", "access_token="}) {
    size_t pos = 0;
    while ((pos = out.find(key, pos)) != std::string::npos) {
      bool at_boundary = pos > 0 && (out[pos - 1] == '?' || out[pos - 1] == '&');
      size_t value_start = pos + std::string_view(key).size();
      if (!at_boundary) {
        pos = value_start;
        continue;
      }
      size_t value_end = out.find('&', value_start);
      if (value_end == std::string::npos) value_end = out.size();
      out.replace(value_start, value_end - value_start, "***");
      pos = value_start + 3;
    }
  }
  return out;
}

}  // namespace velko::platform::db_utils
