// The data-analysis tools, one generator each. A generator only builds the tool; the
// tool never throws an ordinary error at the model: failures come back as text that
// begins with "Error" (or, for the chart tools, JSON with an "error" key).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "velko/host/backend.h"
#include "velko/host/tool.h"

namespace velko::platform::storage {
class S3Storage;
}

namespace velko::middleware::analyst {

// execute_sql_query: runs one statement capped at 50 rows; {"headers", "rows"}.
host::Tool _execute_sql_query_tool_generator(const std::string& mode = "web");
// list_schemas_tool, list_tables_tool, get_table_columns_tool.
host::Tool _list_schemas_tool_generator(const std::string& mode = "web");
host::Tool _list_tables_tool_generator(const std::string& mode = "web");
host::Tool _get_table_columns_tool_generator(const std::string& mode = "web");
// generate_charts drawn in the sandbox behind `backend`, images uploaded to `s3`.
host::Tool _generate_charts_web_tool_generator(std::shared_ptr<host::BackendProtocol> backend,
                                               std::shared_ptr<platform::storage::S3Storage> s3);
// generate_charts drawn by a local interpreter under ~/.velko/charts/{project}.
host::Tool _generate_charts_cli_tool_generator(const std::optional<std::string>& cwd = std::nullopt);

// The object storage the middleware hands to the web chart tool (a new S3Storage).
std::shared_ptr<platform::storage::S3Storage> make_default_storage();

}  // namespace velko::middleware::analyst
