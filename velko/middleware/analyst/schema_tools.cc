// list_schemas_tool, list_tables_tool and get_table_columns_tool: the structure of the
// connected warehouse as JSON text, through the engine provider's inspection.
//
// Each call runs under the connection's query_timeout and the call's cancel signal. The
// work of one call is bounded: get_table_columns_tool describes each distinct name once
// (the answer has one entry per distinct name, in first-seen order) and at most
// MAX_TABLES_PER_CALL of them; the rest get an entry whose `error` says so. Answers stay
// under 4 MiB (answer_bounds.h): names left out are counted in a "note".
#include <chrono>
#include <string>
#include <unordered_set>

#include "velko/base/cancel.h"
#include "velko/base/json.h"
#include "velko/base/run_mode.h"
#include "velko/base/strings.h"
#include "velko/base/utf8.h"
#include "velko/middleware/analyst/answer_bounds.h"
#include "velko/middleware/analyst/middleware.h"
#include "velko/middleware/analyst/tools.h"
#include "velko/platform/sql/statement_watch.h"
#include "velko/platform/sql/value_bounds.h"
#include "velko/platform/warehouse/warehouse.h"

namespace velko::middleware::analyst {
namespace {

constexpr const char* LIST_SCHEMAS_DESCRIPTION =
    "List all available schemas in the database. Call this first to discover what schemas are available before "
    "listing tables.";
constexpr const char* LIST_TABLES_DESCRIPTION =
    "List all tables in a specific schema. You must specify a schema name. Call list_schemas() first to see "
    "available schemas.";
constexpr const char* GET_TABLE_COLUMNS_DESCRIPTION =
    "Get the columns and types for specified tables. Pass the database schema name and a comma-separated list of "
    "table names to inspect.";

constexpr const char* NO_CONNECTION = "Error: No database connection configured";
constexpr size_t MAX_TABLES_PER_CALL = 200;

// The engine and the call options of one tool call.
struct Target {
  std::shared_ptr<platform::sql::Engine> engine;
  platform::sql::ExecuteOptions options;
};

Target target_of(const std::optional<std::string>& connection_id, base::RunMode mode,
                 const host::ToolRuntime& runtime) {
  const platform::db_utils::DatabaseConfig config =
      platform::warehouse::get_db_config(connection_id, base::run_mode_name(mode));
  Target target;
  target.engine = platform::warehouse::get_db_engine_for_config(config);
  target.options = platform::warehouse::call_options(config, runtime.cancel);
  return target;
}

// {"<key>": [names...]} plus "note" when names were left out, and `extra` first.
std::string names_answer(Json answer, const char* key, const std::vector<std::string>& names, const char* what) {
  size_t left_out = 0;
  answer[key] = bounded_names(names, MAX_ANSWER_BYTES - ANSWER_RESERVE, left_out);
  if (left_out > 0) answer["note"] = left_out_note(left_out, what);
  return base::dumps(answer);
}

// The identifier check every tool starts with: web mode needs one.
bool missing_web_connection(base::RunMode mode, const std::optional<std::string>& connection_id) {
  return mode == base::RunMode::kWeb && (!connection_id || connection_id->empty());
}

std::string error_text(const std::string& prefix, const std::exception& error) {
  return prefix + base::to_valid_utf8(error.what());
}

// The text form of a column's type: text as is, anything else as its JSON text.
std::string type_text(const Json& type) { return type.is_string() ? type.get<std::string>() : base::dumps(type); }

std::string list_schemas_tool(base::RunMode mode, const host::ToolRuntime& runtime) {
  std::optional<std::string> connection_id = connection_id_of(runtime.state);
  if (missing_web_connection(mode, connection_id)) return NO_CONNECTION;
  try {
    Target target = target_of(connection_id, mode, runtime);
    return names_answer(Json::object(), "schemas", platform::warehouse::list_schemas(*target.engine, target.options),
                        "schemas");
  } catch (const std::exception& error) {
    return error_text("Error listing schemas: ", error);
  }
}

std::string list_tables_tool(base::RunMode mode, const std::string& db_schema, const host::ToolRuntime& runtime) {
  std::optional<std::string> connection_id = connection_id_of(runtime.state);
  if (missing_web_connection(mode, connection_id)) return NO_CONNECTION;
  if (db_schema.empty()) return "Error: Schema name is required. Call list_schemas() first to see available schemas.";
  try {
    Target target = target_of(connection_id, mode, runtime);
    Json answer = Json::object();
    answer["schema"] = bounded_text(db_schema);
    return names_answer(std::move(answer), "tables",
                        platform::warehouse::list_tables(*target.engine, db_schema, target.options), "tables");
  } catch (const std::exception& error) {
    return error_text("Error listing tables: ", error);
  }
}

std::string get_table_columns_tool(base::RunMode mode, const std::string& db_schema, const std::string& table_names,
                                   const host::ToolRuntime& runtime) {
  std::optional<std::string> connection_id = connection_id_of(runtime.state);
  if (missing_web_connection(mode, connection_id)) return NO_CONNECTION;
  if (db_schema.empty()) return "Error: Schema name is required";
  try {
    Target target = target_of(connection_id, mode, runtime);
    std::vector<std::string> names;
    std::unordered_set<std::string> seen;
    for (std::string_view piece : base::split(table_names, ',')) {
      std::string_view name = base::strip(piece);
      if (!name.empty() && seen.emplace(name).second) names.emplace_back(name);
    }
    if (names.empty()) return "Error: No table names provided";
    const std::string schema_text = bounded_text(db_schema);
    std::string answer = "[";
    size_t left_out = 0;
    // The query_timeout bounds the whole call: each table gets what is left of it.
    using Clock = std::chrono::steady_clock;
    const std::chrono::milliseconds call_limit = target.options.timeout;
    const Clock::time_point deadline = Clock::now() + call_limit;
    for (size_t name_idx = 0; name_idx < names.size(); ++name_idx) {
      const std::string& name = names[name_idx];
      Json entry = Json::object();
      entry["table"] = bounded_text(db_schema + "." + name);
      if (name_idx >= MAX_TABLES_PER_CALL) {
        entry["error"] = "Not described: one call describes at most " + std::to_string(MAX_TABLES_PER_CALL) +
                         " tables; ask for this one in another call";
      } else if (call_limit.count() > 0 && Clock::now() >= deadline) {
        entry["error"] = platform::sql::timeout_text(call_limit);
      } else {
        if (call_limit.count() > 0) {
          target.options.timeout =
              std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()) + std::chrono::milliseconds(1);
        }
        try {
          Json columns = Json::array();
          for (const auto& column : platform::warehouse::get_columns(*target.engine, db_schema, name, target.options)) {
            auto nullable = column.find("nullable");
            columns.push_back({{"name", platform::sql::bounded_value(column.at("name"))},
                               {"type", bounded_text(type_text(column.at("type")))},
                               {"nullable", nullable == column.end() ? Json(true) : *nullable}});
          }
          entry["columns"] = std::move(columns);
        } catch (const base::CancelledError&) {
          throw;  // the caller gave up on the whole call
        } catch (const base::TimeoutError&) {
          entry["error"] = platform::sql::timeout_text(call_limit);
        } catch (const std::exception& error) {
          entry["error"] = bounded_text(base::to_valid_utf8(error.what()));
        }
      }
      std::string text = base::dumps(entry);
      if (answer.size() + text.size() + 2 > MAX_ANSWER_BYTES - ANSWER_RESERVE) {
        left_out = names.size() - name_idx;
        break;
      }
      if (name_idx > 0) answer += ", ";
      answer += text;
    }
    if (left_out > 0) {
      answer += answer.size() > 1 ? ", " : "";
      base::dump_to(answer, Json{{"table", schema_text + ".*"},
                                 {"error", left_out_note(left_out, left_out == 1 ? "table" : "tables")}});
    }
    answer += "]";
    return answer;
  } catch (const std::exception& error) {
    return error_text("Error getting table columns: ", error);
  }
}

}  // namespace

host::Tool _list_schemas_tool_generator(const std::string& mode_text) {
  const base::RunMode mode = base::parse_run_mode(mode_text);
  return host::Tool("list_schemas_tool", LIST_SCHEMAS_DESCRIPTION, {},
                    [mode](const Json&, const host::ToolRuntime& runtime) { return list_schemas_tool(mode, runtime); });
}

host::Tool _list_tables_tool_generator(const std::string& mode_text) {
  const base::RunMode mode = base::parse_run_mode(mode_text);
  return host::Tool("list_tables_tool", LIST_TABLES_DESCRIPTION, {{"db_schema", "string", "", true}},
                    [mode](const Json& args, const host::ToolRuntime& runtime) {
                      return list_tables_tool(mode, args.at("db_schema").get<std::string>(), runtime);
                    });
}

host::Tool _get_table_columns_tool_generator(const std::string& mode_text) {
  const base::RunMode mode = base::parse_run_mode(mode_text);
  return host::Tool("get_table_columns_tool", GET_TABLE_COLUMNS_DESCRIPTION,
                    {{"db_schema", "string", "", true}, {"table_names", "string", "", true}},
                    [mode](const Json& args, const host::ToolRuntime& runtime) {
                      return get_table_columns_tool(mode, args.at("db_schema").get<std::string>(),
                                                    args.at("table_names").get<std::string>(), runtime);
                    });
}

}  // namespace velko::middleware::analyst
