// list_schemas_tool, list_tables_tool and get_table_columns_tool: the structure of the
// connected warehouse as JSON text, through the engine provider's inspection.
#include <string>

#include "velko/base/json.h"
#include "velko/base/strings.h"
#include "velko/base/utf8.h"
#include "velko/middleware/analyst/middleware.h"
#include "velko/middleware/analyst/tools.h"
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

// The identifier check every tool starts with: web mode needs one.
bool missing_web_connection(const std::string& mode, const std::optional<std::string>& connection_id) {
  return mode == "web" && (!connection_id || connection_id->empty());
}

std::string error_text(const std::string& prefix, const std::exception& error) {
  return prefix + base::to_valid_utf8(error.what());
}

// The text form of a column's type: text as is, anything else as its JSON text.
std::string type_text(const Json& type) { return type.is_string() ? type.get<std::string>() : base::dumps(type); }

std::string list_schemas_tool(const std::string& mode, const host::ToolRuntime& runtime) {
  std::optional<std::string> connection_id = connection_id_of(runtime.state);
  if (missing_web_connection(mode, connection_id)) return NO_CONNECTION;
  try {
    auto engine = platform::warehouse::get_db_engine(connection_id, mode);
    Json answer = Json::object();
    answer["schemas"] = platform::warehouse::list_schemas(*engine);
    return base::dumps(answer);
  } catch (const std::exception& error) {
    return error_text("Error listing schemas: ", error);
  }
}

std::string list_tables_tool(const std::string& mode, const std::string& db_schema,
                             const host::ToolRuntime& runtime) {
  std::optional<std::string> connection_id = connection_id_of(runtime.state);
  if (missing_web_connection(mode, connection_id)) return NO_CONNECTION;
  if (db_schema.empty()) return "Error: Schema name is required. Call list_schemas() first to see available schemas.";
  try {
    auto engine = platform::warehouse::get_db_engine(connection_id, mode);
    Json answer = Json::object();
    answer["schema"] = db_schema;
    answer["tables"] = platform::warehouse::list_tables(*engine, db_schema);
    return base::dumps(answer);
  } catch (const std::exception& error) {
    return error_text("Error listing tables: ", error);
  }
}

std::string get_table_columns_tool(const std::string& mode, const std::string& db_schema,
                                   const std::string& table_names, const host::ToolRuntime& runtime) {
  std::optional<std::string> connection_id = connection_id_of(runtime.state);
  if (missing_web_connection(mode, connection_id)) return NO_CONNECTION;
  if (db_schema.empty()) return "Error: Schema name is required";
  try {
    auto engine = platform::warehouse::get_db_engine(connection_id, mode);
    std::vector<std::string> names;
    for (std::string_view piece : base::split(table_names, ',')) {
      std::string_view name = base::strip(piece);
      if (!name.empty()) names.emplace_back(name);
    }
    if (names.empty()) return "Error: No table names provided";
    Json answer = Json::array();
    for (const auto& name : names) {
      Json entry = Json::object();
      entry["table"] = db_schema + "." + name;
      try {
        Json columns = Json::array();
        for (const auto& column : platform::warehouse::get_columns(*engine, db_schema, name)) {
          auto nullable = column.find("nullable");
          columns.push_back({{"name", column.at("name")},
                             {"type", type_text(column.at("type"))},
                             {"nullable", nullable == column.end() ? Json(true) : *nullable}});
        }
        entry["columns"] = std::move(columns);
      } catch (const std::exception& error) {
        entry["error"] = base::to_valid_utf8(error.what());
      }
      answer.push_back(std::move(entry));
    }
    return base::dumps(answer);
  } catch (const std::exception& error) {
    return error_text("Error getting table columns: ", error);
  }
}

}  // namespace

host::Tool _list_schemas_tool_generator(const std::string& mode) {
  return host::Tool("list_schemas_tool", LIST_SCHEMAS_DESCRIPTION, {},
                    [mode](const Json&, const host::ToolRuntime& runtime) { return list_schemas_tool(mode, runtime); });
}

host::Tool _list_tables_tool_generator(const std::string& mode) {
  return host::Tool("list_tables_tool", LIST_TABLES_DESCRIPTION, {{"db_schema", "string", "", true}},
                    [mode](const Json& args, const host::ToolRuntime& runtime) {
                      return list_tables_tool(mode, args.at("db_schema").get<std::string>(), runtime);
                    });
}

host::Tool _get_table_columns_tool_generator(const std::string& mode) {
  return host::Tool("get_table_columns_tool", GET_TABLE_COLUMNS_DESCRIPTION,
                    {{"db_schema", "string", "", true}, {"table_names", "string", "", true}},
                    [mode](const Json& args, const host::ToolRuntime& runtime) {
                      return get_table_columns_tool(mode, args.at("db_schema").get<std::string>(),
                                                    args.at("table_names").get<std::string>(), runtime);
                    });
}

}  // namespace velko::middleware::analyst
