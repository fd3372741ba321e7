#include "velko/middleware/analyst/chart_cli_tool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/files.h"
#include "velko/base/logging.h"
#include "velko/base/process.h"
#include "velko/base/redact.h"
#include "velko/base/strings.h"
#include "velko/middleware/analyst/chart_support.h"
#include "velko/middleware/analyst/connection_string.h"
#include "velko/middleware/analyst/middleware.h"
#include "velko/middleware/analyst/python_interpreter.h"
#include "velko/middleware/analyst/tools.h"
#include "velko/platform/config/local_config.h"
#include "velko/platform/sandbox/local_sandbox.h"

namespace velko::middleware::analyst {

const char* const CLI_CHART_DESCRIPTION =
    "Execute Python code to generate charts using seaborn and matplotlib. Use query_db(sql) to fetch data from the "
    "database as a pandas DataFrame. Save charts using plt.savefig('chart_name.png'). Example: df = query_db('SELECT "
    "date, value FROM metrics'); sns.lineplot(data=df, x='date', y='value'); plt.savefig('trend.png')";

namespace {

namespace fs = std::filesystem;

// An exclusive advisory lock on a directory, held for the object's life. Taken with
// flock, so it serializes threads of this process (each holds its own descriptor) as
// well as other processes.
class DirectoryLock {
 public:
  explicit DirectoryLock(const fs::path& dir) : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ < 0) base::throw_os_error(errno, "open", dir);
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        int saved = errno;
        ::close(fd_);
        base::throw_os_error(saved, "flock", dir);
      }
    }
  }
  ~DirectoryLock() { ::close(fd_); }  // closing releases the lock
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

 private:
  int fd_;
};

struct Image {
  std::string path;
  std::string filename;
};

bool not_before(const timespec& time, const timespec& start) {
  return time.tv_sec > start.tv_sec || (time.tv_sec == start.tv_sec && time.tv_nsec >= start.tv_nsec);
}

// The modification times of the candidate images directly inside `dir`: for "*.png",
// "*.jpg" and "*.jpeg" in this order, regular files (links followed) in the order the
// directory yields them. Like a shell pattern, "*" does not match names beginning with ".".
std::vector<std::pair<Image, timespec>> candidate_images(const fs::path& dir) {
  std::vector<std::pair<Image, timespec>> found;
  for (const char* suffix : {".png", ".jpg", ".jpeg"}) {
    DIR* listing = ::opendir(dir.c_str());
    if (listing == nullptr) base::throw_os_error(errno, "opendir", dir);
    while (const dirent* entry = ::readdir(listing)) {
      std::string name = entry->d_name;
      if (name.empty() || name[0] == '.' || !base::ends_with(name, suffix)) continue;
      fs::path path = dir / name;
      struct stat info;
      if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
      found.emplace_back(Image{path.string(), name}, info.st_mtim);
    }
    ::closedir(listing);
  }
  return found;
}

bool same_time(const timespec& left, const timespec& right) {
  return left.tv_sec == right.tv_sec && left.tv_nsec == right.tv_nsec;
}

// The images this run wrote: modified at or after `start`, except files that were there
// before the run with the same time (written by an earlier call within the same clock
// tick as this call's script; this run's own writes come later than that tick).
std::vector<Image> new_images(const fs::path& dir, const timespec& start,
                              const std::vector<std::pair<Image, timespec>>& before) {
  std::vector<Image> images;
  for (auto& [image, modified] : candidate_images(dir)) {
    if (!not_before(modified, start)) continue;
    bool unchanged = std::any_of(before.begin(), before.end(), [&](const auto& earlier) {
      return earlier.first.filename == image.filename && same_time(earlier.second, modified);
    });
    if (!unchanged) images.push_back(std::move(image));
  }
  return images;
}

std::string viewer_program(const CliChartOptions& options) {
  if (options.viewer) return *options.viewer;
  if (auto chosen = base::getenv_opt("VELKO_CHART_VIEWER"); chosen && !chosen->empty()) return *chosen;
  struct utsname system;
  if (::uname(&system) == 0 && std::string(system.sysname) == "Darwin") return "open";
  return "xdg-open";
}

// Opens one image; the viewer's outcome, and any failure to start it, is ignored.
void open_in_viewer(const std::string& viewer, const std::string& path) {
  base::ProcessOptions process;
  process.argv = {viewer, path};
  process.capture_output = false;  // a viewer may leave its window process running
  process.timeout = CLI_CHART_VIEWER_TIMEOUT;
  try {
    base::run_process(process);
  } catch (const std::exception&) {
    // No viewer on this system: the charts are still reported.
  }
}

void remove_script(const fs::path& script_path) { ::unlink(script_path.c_str()); }

// True when the user turned the chart sandbox off ($VELKO_CHART_SANDBOX=off); said once
// on the logger.
bool sandbox_turned_off() {
  if (base::getenv_opt(CHART_SANDBOX_ENV).value_or("") != "off") return false;
  static std::once_flag told;
  std::call_once(told, [] {
    base::get_logger("velko.charts")
        .warning(std::string(CHART_SANDBOX_ENV) +
                 "=off: chart scripts run without the sandbox, with this user's access to files and processes");
  });
  return true;
}

// The script's environment: this process's, without variables that name or carry secrets (the
// connection URL the script needs comes as VELKO_CONNECTION_STRING, which is not one),
// with a PostgreSQL session read-only by default.
std::map<std::string, std::string> script_environment(const std::string& connection_string) {
  std::map<std::string, std::string> env;
  for (auto& [name, value] : base::environment()) {
    if (!base::is_secret_variable(name, value)) env.emplace(name, value);
  }
  if (!connection_string.empty()) {
    env["VELKO_CONNECTION_STRING"] = connection_string;
    add_read_only_session(connection_string, env);
  }
  return env;
}

// Runs the script; the outcome as run_process gives it. Throws RuntimeError naming
// bubblewrap when the sandbox cannot run.
base::ProcessResult run_script(const std::optional<std::string>& cwd, const CliChartOptions& options,
                               const std::string& python, const fs::path& output_dir, const fs::path& script_path,
                               const std::string& connection_string, const base::CancelSignalPtr& cancel) {
  std::map<std::string, std::string> env = script_environment(connection_string);
  if (sandbox_turned_off()) {
    base::ProcessOptions process;
    process.argv = {python, script_path.string()};
    std::string support = platform::sandbox::python_support_dir().string();
    auto existing = env.find("PYTHONPATH");
    env["PYTHONPATH"] = existing == env.end() || existing->second.empty() ? support : support + ":" + existing->second;
    process.env = std::move(env);
    process.timeout = options.timeout;
    process.cancel = cancel;
    process.keep_output = base::OUTPUT_KEEP_BYTES;
    process.kill_descendants = true;
    return base::run_process(process);
  }
  platform::sandbox::IsolatedRun run;
  run.argv = {python, script_path.string()};
  run.cwd = output_dir.string();
  env["HOME"] = platform::sandbox::SANDBOX_HOME;
  env["TMPDIR"] = "/tmp";
  run.env = std::move(env);
  if (cwd && !cwd->empty() && fs::path(*cwd).is_absolute()) run.binds.push_back({fs::path(*cwd), false});
  run.binds.push_back({output_dir, true});
  run.python = python;
  if (!connection_string.empty()) run.warehouse_url = connection_string;
  run.timeout = options.timeout;
  run.cancel = cancel;
  if (options.bwrap) run.bwrap = *options.bwrap;
  return platform::sandbox::run_isolated(run);
}

std::string seconds_text(std::chrono::seconds limit) { return std::to_string(limit.count()); }

std::string generate_charts(const std::optional<std::string>& cwd, const CliChartOptions& options,
                            const std::string& python_code, const host::ToolRuntime& runtime) {
  std::optional<std::string> connection_id = connection_id_of(runtime.state);
  fs::path output_dir;
  try {
    output_dir = chart_output_dir(cwd);
    base::create_private_directories(output_dir);  // 0700, ~/.velko included, whatever the umask
  } catch (const std::exception& error) {
    return chart_failure(error.what());
  }

  std::string connection_string;
  Json config;
  try {
    config = platform::config::get_local_database_config(connection_id);
    if (config.is_object() && !config.empty()) connection_string = _build_connection_string(config);
  } catch (const std::exception& error) {
    return chart_failure(std::string("Failed to get database config: ") + error.what());
  }
  SecretRedactor redactor(connection_string, config);
  redactor.add_stored_secrets();
  const std::string script = _build_cli_chart_script(output_dir.string(), python_code, !connection_string.empty());
  const fs::path script_path = output_dir / CLI_CHART_SCRIPT_NAME;

  std::vector<Image> images;
  try {
    DirectoryLock lock(output_dir);
    try {
      base::write_file_atomic(script_path, script, 0600);
      // The start time comes from the file system's own clock, the one that stamps the
      // images, so coarse file timestamps cannot hide a new image.
      struct stat written;
      if (::stat(script_path.c_str(), &written) != 0) base::throw_os_error(errno, "stat", script_path);
      const auto before = candidate_images(output_dir);

      const std::string python = options.python ? *options.python : chart_python_interpreter();
      base::ProcessResult result =
          run_script(cwd, options, python, output_dir, script_path, connection_string, runtime.cancel);
      remove_script(script_path);
      if (result.cancelled) return chart_failure(base::CancelledError().what());
      if (result.timed_out) {
        return chart_failure("Script execution timed out after " + seconds_text(options.timeout) + " seconds");
      }
      if (result.exit_code != 0) {
        if (result.stderr_text.empty()) {
          return chart_failure("Script exited with status " + std::to_string(result.exit_code) +
                               " and wrote no error output");
        }
        return chart_failure(redactor.redact(result.stderr_text));
      }
      images = new_images(output_dir, written.st_mtim, before);
    } catch (...) {
      remove_script(script_path);
      throw;
    }
  } catch (const std::exception& error) {
    return chart_failure(redactor.redact(error.what()));
  }
  if (images.empty()) return chart_failure(NO_IMAGES_ERROR);

  const std::string viewer = viewer_program(options);
  Json charts = Json::array();
  for (const Image& image : images) {
    open_in_viewer(viewer, image.path);
    Json entry = Json::object();
    entry["path"] = redactor.redact(image.path);
    entry["filename"] = redactor.redact(image.filename);
    charts.push_back(std::move(entry));
  }
  return chart_success(charts);
}

}  // namespace

fs::path chart_output_dir(const std::optional<std::string>& cwd) {
  fs::path charts = fs::path(base::home_dir()) / ".velko" / "charts";
  if (!cwd || cwd->empty()) return charts;
  return charts / base::replace_all(*cwd, "/", "-");
}

std::string _build_cli_chart_script(const std::string& output_dir, const std::string& python_code,
                                    bool has_connection) {
  std::string script = std::string(CHART_SCRIPT_PREAMBLE) + "os.chdir(\"" + python_string_body(output_dir) + "\")\n";
  if (has_connection) {
    script +=
        "\n"
        "from sqlalchemy import create_engine\n"
        "_engine = create_engine(os.environ[\"VELKO_CONNECTION_STRING\"])\n"
        "def query_db(sql: str) -> pd.DataFrame:\n"
        "    return pd.read_sql(sql, _engine)\n";
  } else {
    script +=
        "\n"
        "def query_db(sql: str) -> pd.DataFrame:\n"
        "    raise RuntimeError(\"No database connection configured. Use /database to select one.\")\n";
  }
  script += "\n# User code\n" + python_code + "\n\nplt.close(\"all\")\n";
  return script;
}

host::Tool make_cli_chart_tool(std::optional<std::string> cwd, CliChartOptions options) {
  return host::Tool(
      "generate_charts", CLI_CHART_DESCRIPTION, {host::ToolParam{"python_code", "string", "", true}},
      [cwd = std::move(cwd), options = std::move(options)](const Json& args, const host::ToolRuntime& runtime) {
        return generate_charts(cwd, options, args.at("python_code").get<std::string>(), runtime);
      });
}

host::Tool _generate_charts_cli_tool_generator(const std::optional<std::string>& cwd) {
  return make_cli_chart_tool(cwd, CliChartOptions{});
}

}  // namespace velko::middleware::analyst
