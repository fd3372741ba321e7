// execute_sql_query: one statement, capped at 50 rows, answered as {"headers", "rows"}.
//
// Besides rewriting the statement's row limit, the tool never holds more than 50 rows:
// the engine stops fetching past them, whatever the text (a statement whose limit does
// not bound its rows, such as FETCH ... WITH TIES, is read row by row). The statement
// runs in a read-only transaction that is rolled back, so a write fails with the
// database's error. It runs under the connection's query_timeout and the call's cancel
// signal; both stop it on the server. Sizes are bounded (answer_bounds.h): a query text
// over 1 MiB is refused, values over 64 KiB are cut, and the answer stays under 4 MiB
// (rows past it are left out and counted in a "note").
#include <string>

#include "velko/base/json.h"
#include "velko/base/run_mode.h"
#include "velko/base/strings.h"
#include "velko/base/utf8.h"
#include "velko/middleware/analyst/answer_bounds.h"
#include "velko/middleware/analyst/middleware.h"
#include "velko/middleware/analyst/tools.h"
#include "velko/platform/config/local_config.h"
#include "velko/platform/db_utils/database_config.h"
#include "velko/platform/db_utils/sql_limit.h"
#include "velko/platform/db_utils/urls.h"
#include "velko/platform/services/hosted_services.h"
#include "velko/platform/sql/value_bounds.h"
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

// One row as JSON text: [v1, v2, ...], each value bounded.
std::string row_text(const platform::sql::Row& row) {
  std::string out = "[";
  for (size_t column = 0; column < row.size(); ++column) {
    if (column > 0) out += ", ";
    base::dump_to(out, platform::sql::bounded_value(row[column]));
  }
  out += ']';
  return out;
}

std::string execute_sql_query(base::RunMode mode, const std::string& query, const host::ToolRuntime& runtime) {
  std::optional<std::string> connection_id = connection_id_of(runtime.state);
  if (mode == base::RunMode::kWeb && (!connection_id || connection_id->empty())) {
    return "Error: No database connection configured";
  }
  try {
    if (query.size() > MAX_QUERY_BYTES) {
      return "Error executing query: the query text is " + std::to_string(query.size()) + " bytes long; at most " +
             std::to_string(MAX_QUERY_BYTES) + " bytes (1 MiB) are accepted";
    }
    Json stored = mode == base::RunMode::kCli ? platform::config::get_local_database_config(connection_id)
                                              : platform::services::get_database_config(connection_id.value_or(""));
    if (base::is_falsy(stored)) return "Error: No database connection configured. Use /database to select one.";
    if (!stored.is_object() || !stored.contains("type")) throw base::KeyError("type");
    const platform::db_utils::DatabaseConfig config = platform::db_utils::parse_database_config(stored);
    // A type without a dialect of its own (or not one this system knows) is capped as postgres.
    const platform::sql_lexer::SqlDialect dialect = config.known_type
                                                        ? platform::db_utils::dialect_for(*config.known_type)
                                                        : platform::sql_lexer::SqlDialect::kPostgres;

    std::shared_ptr<platform::sql::Engine> engine = platform::warehouse::get_db_engine_for_config(config);
    platform::db_utils::LimitCapResult capped =
        platform::db_utils::cap_query_limit(prepare_query(query), _MAX_ROWS_QUERY_LIMIT, dialect);
    platform::sql::ExecuteOptions options = platform::warehouse::call_options(config, runtime.cancel);
    options.max_rows = static_cast<size_t>(_MAX_ROWS_QUERY_LIMIT);
    // A text whose outermost limit now bounds it at 50 rows may be fetched in one piece;
    // any other (WITH TIES, a text the cap did not rewrite) is read row by row and
    // stopped after 50.
    options.rows_bounded = platform::db_utils::bounds_row_count(capped);
    options.max_value_bytes = platform::sql::MAX_VALUE_BYTES;

    platform::sql::Result result;
    {
      platform::sql::Connection connection = engine->connect();
      result = connection.execute(capped.sql, options);
    }
    // {"headers": [...], "rows": [[...], ...]}, written straight from the result.
    std::vector<std::string> headers;
    for (const auto& key : result.keys()) headers.push_back(bounded_text(key));
    std::string answer = "{\"headers\": ";
    base::dump_to(answer, Json(headers));
    answer += ", \"rows\": [";
    size_t left_out = 0;
    const std::vector<platform::sql::Row>& rows = result.fetchall();
    for (size_t row_idx = 0; row_idx < rows.size(); ++row_idx) {
      std::string text = row_text(rows[row_idx]);
      if (answer.size() + text.size() + 2 > MAX_ANSWER_BYTES - ANSWER_RESERVE) {
        left_out = rows.size() - row_idx;
        break;
      }
      if (row_idx > 0) answer += ", ";
      answer += text;
    }
    answer += "]";
    if (left_out > 0) {
      answer += ", \"note\": ";
      base::dump_to(answer, Json(left_out_note(left_out, left_out == 1 ? "row" : "rows")));
    }
    answer += "}";
    return answer;
  } catch (const std::exception& error) {
    return "Error executing query: " + bounded_text(base::to_valid_utf8(error.what()));
  }
}

}  // namespace

host::Tool _execute_sql_query_tool_generator(const std::string& mode_text) {
  const base::RunMode mode = base::parse_run_mode(mode_text);
  return host::Tool("execute_sql_query", EXECUTE_SQL_QUERY_DESCRIPTION, {{"query", "string", "", true}},
                    [mode](const Json& args, const host::ToolRuntime& runtime) {
                      return execute_sql_query(mode, args.at("query").get<std::string>(), runtime);
                    });
}

}  // namespace velko::middleware::analyst
