#include "velko/platform/db_utils/config_url.h"

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/files.h"
#include "velko/base/json_args.h"
#include "velko/platform/db_utils/urls.h"

namespace velko::platform::db_utils {
namespace {

namespace db = velko::platform::db_utils;  // NOLINT

// A DatabaseConfig's values are text; a port may be a number.
base::JsonArgsStyle config_style() {
  base::JsonArgsStyle style;
  style.null_is_absent = false;
  style.not_object = {base::ArgErrorKind::kTypeError, "config must be a mapping"};
  style.missing = {base::ArgErrorKind::kKeyError, "{name}"};
  style.wrong_type = {base::ArgErrorKind::kTypeError, "DatabaseConfig key '{name}' must be text"};
  return style;
}

std::string expand_home(const std::string& path) {
  if (path == "~") return base::home_dir();
  if (path.starts_with("~/")) return base::home_dir() + path.substr(1);
  return path;
}

}  // namespace

std::string build_url_for_config(const Json& config) {
  base::JsonArgs values(config, config_style());
  auto required = [&](const char* key) { return values.text_or_integer(key); };
  auto optional = [&](const char* key, const char* fallback = "") { return values.text_or_integer(key, fallback); };
  std::string conn_type = required("type");
  if (conn_type == "SNOWFLAKE") {
    db::SnowflakeUrlArgs args;
    args.username = required("username");
    args.password = required("password");
    args.account = required("host");
    args.role = optional("role");
    args.warehouse = optional("warehouse");
    args.database = optional("database");
    return db::build_snowflake_url(args);
  }
  if (conn_type == "DATABRICKS") {
    db::DatabricksUrlArgs args;
    args.host = required("host");
    args.http_path = required("warehouse");
    args.token = required("password");
    args.catalog = optional("database");
    return db::build_databricks_url(args);
  }
  if (conn_type == "POSTGRES") {
    db::PostgresUrlArgs args;
    args.username = required("username");
    args.password = required("password");
    args.host = required("host");
    args.port = optional("port", "5432");
    args.database = required("database");
    return db::build_postgres_url(args);
  }
  if (conn_type == "CLICKHOUSE") {
    db::ClickhouseUrlArgs args;
    args.username = required("username");
    args.password = required("password");
    args.host = required("host");
    args.port = optional("port", "8443");
    args.database = required("database");
    return db::build_clickhouse_url(args);
  }
  if (conn_type == "MOTHERDUCK") {
    db::MotherduckUrlArgs args;
    args.token = required("password");
    args.database = optional("database");
    return db::build_motherduck_url(args);
  }
  if (conn_type == "BIGQUERY") {
    db::BigqueryUrlArgs args;
    args.project_id = required("host");
    args.credentials_json = optional("password");
    auto keyfile = config.find("keyfile");
    if (keyfile != config.end() && !keyfile->is_null()) {
      std::string path = values.text_or_integer("keyfile");
      if (!path.empty()) args.credentials_json = base::read_file(expand_home(path));
    }
    args.dataset = optional("database");
    args.location = optional("warehouse");
    return db::build_bigquery_url(args);
  }
  if (conn_type == "SQLITE") {
    return db::build_sqlite_url(expand_home(required("database")));
  }
  if (conn_type == "DUCKDB") {
    return db::build_duckdb_url(expand_home(required("database")));
  }
  throw base::ValueError("Unsupported connection type: " + conn_type);
}

}  // namespace velko::platform::db_utils
