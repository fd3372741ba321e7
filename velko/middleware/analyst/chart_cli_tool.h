// generate_charts in cli mode: the model's plotting code runs in a per-project chart
// directory (~/.velko/charts/<cwd with "/" as "-">); the images that run wrote are opened
// in the desktop viewer and listed by path. The generator with the product defaults is
// _generate_charts_cli_tool_generator (tools.h).
//
// The script is untrusted code. It runs in the local sandbox's isolation
// (platform::sandbox::run_isolated): it sees the system read-only, the chart directory
// read-write at its own path, the working directory read-only (unless that would show
// the user's home or the product's store), a SQLite/DuckDB warehouse file read-only, and
// nothing else of the host; no process it starts outlives the call. Its environment is
// this process's minus every variable whose name names a secret (base::is_secret_name),
// with HOME=/home/user (private, empty) and VELKO_CONNECTION_STRING; a PostgreSQL session
// is read-only by default (PGOPTIONS). Where bubblewrap cannot run the tool answers with
// that failure, unless $VELKO_CHART_SANDBOX is "off": then the script runs as a plain
// child (still without secret variables, its descendants still ended with the call) and
// the logger says so once. Every text the tool returns has the secrets of the
// configuration store and of the connection removed (base::Redactor).
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
// "off" runs chart scripts without the sandbox.
inline constexpr const char* CHART_SANDBOX_ENV = "VELKO_CHART_SANDBOX";
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
  // The bubblewrap program; nullopt: "bwrap".
  std::optional<std::string> bwrap;
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
