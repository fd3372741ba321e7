#include "velko/platform/db_utils/config_url.h"

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/files.h"
#include "velko/platform/db_utils/urls.h"

namespace velko::platform::db_utils {
namespace {

namespace db = velko::platform::db_utils;  // NOLINT

std::string expand_home(const std::string& path) {
  if (path == "~") return base::home_dir();
  if (path.starts_with("~/")) return base::home_dir() + path.substr(1);
  return path;
}

}  // namespace

std::string build_url_for_config(const DatabaseConfig& config) {
  const std::string& conn_type = config.type.required();
  if (!config.known_type) throw base::ValueError("Unsupported connection type: " + conn_type);
  switch (*config.known_type) {
    case DatabaseType::kSnowflake: {
      db::SnowflakeUrlArgs args;
      args.username = config.username.required();
      args.password = config.password.required();
      args.account = config.host.required();
      args.role = config.role.optional();
      args.warehouse = config.warehouse.optional();
      args.database = config.database.optional();
      return db::build_snowflake_url(args);
    }
    case DatabaseType::kDatabricks: {
      db::DatabricksUrlArgs args;
      args.host = config.host.required();
      args.http_path = config.warehouse.required();
      args.token = config.password.required();
      args.catalog = config.database.optional();
      return db::build_databricks_url(args);
    }
    case DatabaseType::kPostgres: {
      db::PostgresUrlArgs args;
      args.username = config.username.required();
      args.password = config.password.required();
      args.host = config.host.required();
      args.port = config.port.optional("5432");
      args.database = config.database.required();
      return db::build_postgres_url(args);
    }
    case DatabaseType::kClickhouse: {
      db::ClickhouseUrlArgs args;
      args.username = config.username.required();
      args.password = config.password.required();
      args.host = config.host.required();
      args.port = config.port.optional("8443");
      args.database = config.database.required();
      return db::build_clickhouse_url(args);
    }
    case DatabaseType::kMotherduck: {
      db::MotherduckUrlArgs args;
      args.token = config.password.required();
      args.database = config.database.optional();
      return db::build_motherduck_url(args);
    }
    case DatabaseType::kBigquery: {
      db::BigqueryUrlArgs args;
      args.project_id = config.host.required();
      args.credentials_json = config.password.optional();
      if (std::string path = config.keyfile.optional(); !path.empty()) {
        args.credentials_json = base::read_file(expand_home(path));
      }
      args.dataset = config.database.optional();
      args.location = config.warehouse.optional();
      return db::build_bigquery_url(args);
    }
    case DatabaseType::kSqlite: {
      return db::build_sqlite_url(expand_home(config.database.required()));
    }
    case DatabaseType::kDuckdb: {
      return db::build_duckdb_url(expand_home(config.database.required()));
    }
  }
  throw base::ValueError("Unsupported connection type: " + conn_type);
}

std::string build_url_for_config(const Json& config) { return build_url_for_config(parse_database_config(config)); }

}  // namespace velko::platform::db_utils
