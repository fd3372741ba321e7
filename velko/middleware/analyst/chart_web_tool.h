// generate_charts in web mode: the model's plotting code runs as a script inside the
// sandbox behind the backend, and the PNG and JPEG images it saves are uploaded to object
// storage. The generator is _generate_charts_web_tool_generator (tools.h).
#pragma once

#include <string>

namespace velko::middleware::analyst {

// The tool's description as the model sees it.
extern const char* const WEB_CHART_DESCRIPTION;

// The script run in the sandbox: imports and the non-interactive back end, the work
// directory, query_db() over $VELKO_CONNECTION_STRING (or one that raises when there is no
// connection), the model's code unchanged, and closing all figures.
std::string _build_web_chart_script(const std::string& work_dir, const std::string& python_code, bool has_connection);

}  // namespace velko::middleware::analyst
