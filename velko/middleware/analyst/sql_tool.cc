// execute_sql_query: one statement, capped at 50 rows, answered as {"headers", "rows"}.
//
// Besides rewriting the statement's row limit, the tool never holds more than 50 rows:
// the engine stops fetching past them, whatever the text. The statement runs in a
// read-only transaction that is rolled back, so a write fails with the database's error.
#include <string>

#include "velko/base/json.h"
#include "velko/base/strings.h"
#include "velko/base/utf8.h"
#include "velko/middleware/analyst/middleware.h"
#include "velko/middleware/analyst/tools.h"
#include "velko/platform/config/local_config.h"
#include "velko/platform/db_utils/sql_limit.h"
#include "velko/platform/db_utils/urls.h"
#include "velko/platform/services/hosted_services.h"
#include "velko/platform/warehouse/warehouse.h"

namespace velko::middleware::analyst {
namespace {

constexpr long long _MAX_ROWS_QUERY_LIMIT = 50;

constexpr const char* EXECUTE_SQL_QUERY_DESCRIPTION =
    "Execute a SQL query against the connected database. Returns the query results as a list of rows (max 100 "
    "rows). IMPORTANT: Results are automatically displayed to the user as a formatted table. Do NOT repeat the "
    "data in your response - just provide insights or analysis.";

// White space trimmed, then every ";" at the end removed (white space between trailing
// semicolons stays).
std::string prepare_query(std::string_view query) {
  std::string_view prepared = base::strip(query);
  while (!prepared.empty() && prepared.back() == ';') prepared.remove_suffix(1);
  return std::string(prepared);
}

std::string execute_sql_query(const std::string& mode, const std::string& query, const host::ToolRuntime& runtime) {
  std::optional<std::string> connection_id = connection_id_of(runtime.state);
  if (mode == "web" && (!connection_id || connection_id->empty())) return "Error: No database connection configured";
  try {
    Json config = mode == "cli" ? platform::config::get_local_database_config(connection_id)
                                : platform::services::get_database_config(connection_id.value_or(""));
    if (base::is_falsy(config)) return "Error: No database connection configured. Use /database to select one.";
    if (!config.is_object() || !config.contains("type")) throw base::KeyError("type");
    const Json& type = config["type"];
    std::string dialect = type.is_string() ? platform::db_utils::dialect_for(type.get<std::string>()) : "postgres";

    std::shared_ptr<platform::sql::Engine> engine = platform::warehouse::get_db_engine_for_config(config);
    platform::db_utils::LimitCapResult capped =
        platform::db_utils::cap_query_limit(prepare_query(query), _MAX_ROWS_QUERY_LIMIT, dialect);
    using platform::db_utils::LimitOutcome;
    // A text whose outermost limit is now at most 50 may be fetched in one piece; any
    // other is read row by row and stopped after 50.
    const bool bounded = capped.outcome == LimitOutcome::kAdded || capped.outcome == LimitOutcome::kLowered ||
                         capped.outcome == LimitOutcome::kKept;

    platform::sql::Result result;
    {
      platform::sql::Connection connection = engine->connect();
      result = connection.execute(capped.sql,
                                  {.max_rows = static_cast<size_t>(_MAX_ROWS_QUERY_LIMIT), .rows_bounded = bounded});
    }
    // {"headers": [...], "rows": [[...], ...]}, written straight from the result.
    std::string answer = "{\"headers\": ";
    base::dump_to(answer, Json(result.keys()));
    answer += ", \"rows\": [";
    answer.reserve(answer.size() + 4096);
    bool first = true;
    for (const auto& row : result.fetchall()) {
      if (!first) answer += ", ";
      first = false;
      answer += '[';
      for (size_t column = 0; column < row.size(); ++column) {
        if (column > 0) answer += ", ";
        base::dump_to(answer, row[column]);
      }
      answer += ']';
    }
    answer += "]}";
    return answer;
  } catch (const std::exception& error) {
    return "Error executing query: " + base::to_valid_utf8(error.what());
  }
}

}  // namespace

host::Tool _execute_sql_query_tool_generator(const std::string& mode) {
  return host::Tool("execute_sql_query", EXECUTE_SQL_QUERY_DESCRIPTION, {{"query", "string", "", true}},
                    [mode](const Json& args, const host::ToolRuntime& runtime) {
                      return execute_sql_query(mode, args.at("query").get<std::string>(), runtime);
                    });
}

}  // namespace velko::middleware::analyst
