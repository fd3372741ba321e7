#include "velko/platform/db_utils/config_url.h"

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/files.h"
#include "velko/platform/db_utils/urls.h"

namespace velko::platform::db_utils {
namespace {

namespace db = velko::platform::db_utils;  // NOLINT

std::string text_of(const Json& config, const std::string& key, const Json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_number_integer() || value.is_number_unsigned()) return value.dump();
  (void)config;
  throw base::TypeError("DatabaseConfig key '" + key + "' must be text");
}

std::string required(const Json& config, const std::string& key) {
  auto found = config.find(key);
  if (found == config.end()) throw base::KeyError(key);
  return text_of(config, key, *found);
}

std::string optional(const Json& config, const std::string& key, const std::string& fallback = "") {
  auto found = config.find(key);
  if (found == config.end()) return fallback;
  return text_of(config, key, *found);
}

std::string expand_home(const std::string& path) {
  if (path == "~") return base::home_dir();
  if (path.starts_with("~/")) return base::home_dir() + path.substr(1);
  return path;
}

}  // namespace

std::string build_url_for_config(const Json& config) {
  if (!config.is_object()) throw base::TypeError("config must be a mapping");
  std::string conn_type = required(config, "type");
  if (conn_type == "SNOWFLAKE") {
    db::SnowflakeUrlArgs args;
    args.username = required(config, "username");
    args.password = required(config, "password");
    args.account = required(config, "host");
    args.role = optional(config, "role");
    args.warehouse = optional(config, "warehouse");
    args.database = optional(config, "database");
    return db::build_snowflake_url(args);
  }
  if (conn_type == "DATABRICKS") {
    db::DatabricksUrlArgs args;
    args.host = required(config, "host");
    args.http_path = required(config, "warehouse");
    args.token = required(config, "password");
    args.catalog = optional(config, "database");
    return db::build_databricks_url(args);
  }
  if (conn_type == "POSTGRES") {
    db::PostgresUrlArgs args;
    args.username = required(config, "username");
    args.password = required(config, "password");
    args.host = required(config, "host");
    args.port = optional(config, "port", "5432");
    args.database = required(config, "database");
    return db::build_postgres_url(args);
  }
  if (conn_type == "CLICKHOUSE") {
    db::ClickhouseUrlArgs args;
    args.username = required(config, "username");
    args.password = required(config, "password");
    args.host = required(config, "host");
    args.port = optional(config, "port", "8443");
    args.database = required(config, "database");
    return db::build_clickhouse_url(args);
  }
  if (conn_type == "MOTHERDUCK") {
    db::MotherduckUrlArgs args;
    args.token = required(config, "password");
    args.database = optional(config, "database");
    return db::build_motherduck_url(args);
  }
  if (conn_type == "BIGQUERY") {
    db::BigqueryUrlArgs args;
    args.project_id = required(config, "host");
    args.credentials_json = optional(config, "password");
    auto keyfile = config.find("keyfile");
    if (keyfile != config.end() && !keyfile->is_null()) {
      std::string path = text_of(config, "keyfile", *keyfile);
      if (!path.empty()) args.credentials_json = base::read_file(expand_home(path));
    }
    args.dataset = optional(config, "database");
    args.location = optional(config, "warehouse");
    return db::build_bigquery_url(args);
  }
  if (conn_type == "SQLITE") {
    return db::build_sqlite_url(expand_home(required(config, "database")));
  }
  if (conn_type == "DUCKDB") {
    return db::build_duckdb_url(expand_home(required(config, "database")));
  }
  throw base::ValueError("Unsupported connection type: " + conn_type);
}

}  // namespace velko::platform::db_utils
