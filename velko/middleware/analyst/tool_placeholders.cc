// TEMPORARY scaffolding while the tools are being written: each generator here is
// removed from this file when its real implementation lands in its own file.
#include "velko/middleware/analyst/tools.h"

namespace velko::middleware::analyst {
namespace {
host::Tool placeholder(const std::string& name) {
  return host::Tool(name, "(not yet available)", {}, [](const Json&, const host::ToolRuntime&) {
    return std::string("Error: not available in this build");
  });
}
}  // namespace

host::Tool _execute_sql_query_tool_generator(const std::string&) { return placeholder("execute_sql_query"); }
host::Tool _list_schemas_tool_generator(const std::string&) { return placeholder("list_schemas_tool"); }
host::Tool _list_tables_tool_generator(const std::string&) { return placeholder("list_tables_tool"); }
host::Tool _get_table_columns_tool_generator(const std::string&) { return placeholder("get_table_columns_tool"); }
host::Tool _generate_charts_web_tool_generator(std::shared_ptr<host::BackendProtocol>,
                                               std::shared_ptr<platform::storage::S3Storage>) {
  return placeholder("generate_charts");
}
host::Tool _generate_charts_cli_tool_generator(const std::optional<std::string>&) {
  return placeholder("generate_charts");
}
std::shared_ptr<platform::storage::S3Storage> make_default_storage() { return nullptr; }
}  // namespace velko::middleware::analyst
