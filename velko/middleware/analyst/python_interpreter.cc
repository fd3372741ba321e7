#include "velko/middleware/analyst/python_interpreter.h"

#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/process.h"
#include "velko/base/strings.h"

namespace velko::middleware::analyst {

const std::vector<std::string> CHART_MODULES = {"pandas", "matplotlib", "seaborn", "sqlalchemy"};

namespace {

// Imports each module named on the command line; prints the ones that fail, one a line.
constexpr const char* IMPORT_CHECK =
    "import importlib, sys\n"
    "for name in sys.argv[1:]:\n"
    "    try:\n"
    "        importlib.import_module(name)\n"
    "    except Exception:\n"
    "        print(name)\n";

// How long one interpreter may take to import the modules (cold caches are slow).
constexpr std::chrono::seconds CHECK_TIMEOUT{120};

struct Search {
  std::optional<std::string> found;
  std::string error;
};

std::string join(const std::vector<std::string>& items, const std::string& separator) {
  std::string out;
  for (size_t idx = 0; idx < items.size(); ++idx) out += (idx ? separator : "") + items[idx];
  return out;
}

Search search_path(const std::string& path_value) {
  std::vector<std::string> tried;
  std::set<std::string> seen;
  for (std::string_view dir : base::split(path_value, ':')) {
    for (const char* name : {"python3", "python"}) {
      std::string candidate = std::string(dir.empty() ? "." : dir) + "/" + name;
      if (!seen.insert(candidate).second || !base::find_program(candidate, "")) continue;
      std::vector<std::string> missing = missing_python_modules(candidate, CHART_MODULES);
      if (missing.empty()) return Search{candidate, ""};
      tried.push_back(candidate + " lacks " + join(missing, ", "));
    }
  }
  std::string error = tried.empty()
                          ? "No python3 or python found on PATH"
                          : "No Python interpreter on PATH can import the chart modules (" + join(tried, "; ") + ")";
  return Search{std::nullopt, error +
                                  ". Install pandas, matplotlib, seaborn and sqlalchemy for it (Debian: "
                                  "python3-pandas python3-matplotlib python3-seaborn python3-sqlalchemy), or "
                                  "set VELKO_PYTHON to an interpreter that has them."};
}

}  // namespace

std::vector<std::string> missing_python_modules(const std::string& python, const std::vector<std::string>& modules) {
  base::ProcessOptions options;
  options.argv = {python, "-c", IMPORT_CHECK};
  options.argv.insert(options.argv.end(), modules.begin(), modules.end());
  options.timeout = CHECK_TIMEOUT;
  try {
    base::ProcessResult result = base::run_process(options);
    if (result.exit_code != 0 || result.timed_out) return modules;
    std::vector<std::string> missing;
    for (std::string_view line : base::split(result.stdout_text, '\n')) {
      if (!base::strip(line).empty()) missing.emplace_back(base::strip(line));
    }
    return missing;
  } catch (const base::OSError&) {
    return modules;
  }
}

std::string chart_python_interpreter() {
  if (auto chosen = base::getenv_opt("VELKO_PYTHON"); chosen && !chosen->empty()) return *chosen;
  // Process-wide, for the process's life: one search per PATH value. Guarded by mu.
  static std::mutex mu;
  static std::map<std::string, Search> searches;  // PATH value -> outcome
  std::string path_value = base::getenv_opt("PATH").value_or("");
  std::lock_guard<std::mutex> lock(mu);
  auto found = searches.find(path_value);
  if (found == searches.end()) found = searches.emplace(path_value, search_path(path_value)).first;
  if (!found->second.found) throw base::ModuleNotFoundError(found->second.error);
  return *found->second.found;
}

}  // namespace velko::middleware::analyst
