#include "velko/middleware/analyst/middleware.h"

#include "velko/base/errors.h"
#include "velko/middleware/analyst/tools.h"
#include "velko/platform/config/local_config.h"
#include "velko/platform/db_utils/database_config.h"
#include "velko/platform/services/hosted_services.h"

namespace velko::middleware::analyst {

const std::vector<std::pair<std::string, std::string>> DIALECT_HINTS = {
    {"SNOWFLAKE", "Snowflake SQL"},
    {"DATABRICKS", "Databricks/Spark SQL"},
    {"POSTGRES", "PostgreSQL"},
    {"BIGQUERY", "Google BigQuery Standard SQL"},
    {"CLICKHOUSE", "ClickHouse SQL"},
    {"MOTHERDUCK", "DuckDB SQL (MotherDuck cloud)"},
    {"SQLITE", "SQLite"},
    {"DUCKDB", "DuckDB SQL"},
};

std::string _build_database_context(const Json& config) {
  if (!config.is_object() || !config.contains("type")) throw base::KeyError("type");
  const platform::db_utils::DatabaseConfig parsed = platform::db_utils::parse_database_config(config);
  const std::string& db_type = parsed.type.shown();
  const std::string& db_name = parsed.database.shown();
  std::string dialect_name = db_type;
  for (const auto& [type, hint] : DIALECT_HINTS) {
    if (type == db_type) dialect_name = hint;
  }
  return "\n### Database Connection\nYou are connected to a **" + db_type + "** database (" + db_name +
         ").\nSQL dialect: **" + dialect_name + "**\nUse " + dialect_name + " syntax for all queries.";
}

std::optional<std::string> connection_id_of(const Json& state) {
  if (!state.is_object()) return std::nullopt;
  auto found = state.find(CONNECTION_ID_KEY);
  if (found == state.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

DataAnalysisMiddleware::DataAnalysisMiddleware(std::shared_ptr<host::BackendProtocol> backend, std::string mode,
                                               std::optional<std::string> cwd)
    : mode_(base::parse_run_mode(mode)) {
  tools_.push_back(_execute_sql_query_tool_generator(mode));
  tools_.push_back(_list_schemas_tool_generator(mode));
  tools_.push_back(_list_tables_tool_generator(mode));
  tools_.push_back(_get_table_columns_tool_generator(mode));
  if (mode_ == base::RunMode::kCli) {
    tools_.push_back(_generate_charts_cli_tool_generator(cwd));
  } else if (backend) {
    tools_.push_back(_generate_charts_web_tool_generator(backend, make_default_storage()));
  }
}

host::ModelRequest DataAnalysisMiddleware::enrich(const host::ModelRequest& request) const {
  std::optional<std::string> connection_id = connection_id_of(request.state());
  try {
    Json config;
    if (mode_ == base::RunMode::kCli) {
      config = platform::config::get_local_database_config(connection_id);
    } else if (connection_id && !connection_id->empty()) {
      config = platform::services::get_database_config(*connection_id);
    }
    if (config.is_object() && !config.empty()) {
      return request.override_system_prompt(request.system_prompt_text() + "\n" + _build_database_context(config));
    }
  } catch (const std::exception&) {
    // A failed look-up or block only costs the block; the model call goes on.
  }
  return request;
}

}  // namespace velko::middleware::analyst
