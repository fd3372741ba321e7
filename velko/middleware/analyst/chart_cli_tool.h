// generate_charts in cli mode: the model's plotting code runs as a local child process in
// a per-project chart directory (~/.velko/charts/<cwd with "/" as "-">); the images that
// run wrote are opened in the desktop viewer and listed by path. The generator with the
// product defaults is _generate_charts_cli_tool_generator (tools.h).
//
// Calls for the same chart directory, from threads or from processes, take turns: an
// advisory lock on the directory is held from writing the script until the new images are
// collected, so no call runs another's script or reports another's images.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "velko/host/tool.h"

namespace velko::middleware::analyst {

// The tool's description as the model sees it.
extern const char* const CLI_CHART_DESCRIPTION;
// The script's file name inside the chart directory.
inline constexpr const char* CLI_CHART_SCRIPT_NAME = "_temp_chart_script.py";
// The limit for one script run.
inline constexpr std::chrono::seconds CLI_CHART_TIMEOUT{60};
// The limit for one viewer command (it normally returns at once).
inline constexpr std::chrono::seconds CLI_CHART_VIEWER_TIMEOUT{30};

struct CliChartOptions {
  // The limit for one script run; the product uses CLI_CHART_TIMEOUT.
  std::chrono::seconds timeout = CLI_CHART_TIMEOUT;
  // The viewer program; nullopt: $VELKO_CHART_VIEWER when set and non-empty, else
  // "open" on macOS and "xdg-open" elsewhere.
  std::optional<std::string> viewer;
  // The interpreter; nullopt: chart_python_interpreter().
  std::optional<std::string> python;
};

// The tool with explicit options (tests inject a short limit, a viewer, an interpreter).
host::Tool make_cli_chart_tool(std::optional<std::string> cwd, CliChartOptions options);

// ~/.velko/charts/<project name>, or ~/.velko/charts without a usable (non-empty) cwd.
std::filesystem::path chart_output_dir(const std::optional<std::string>& cwd);

// The script the interpreter runs: imports and the non-interactive back end, entering
// `output_dir`, query_db() over $VELKO_CONNECTION_STRING (or one that raises when there is
// no connection), the model's code unchanged, and closing all figures.
std::string _build_cli_chart_script(const std::string& output_dir, const std::string& python_code, bool has_connection);

}  // namespace velko::middleware::analyst
