// The local chart tool's real 60-second limit: a script that sleeps for 61 seconds, and
// a process it started, are both stopped at 60 seconds and nothing is left running.
// It takes a minute: skip it locally with `ctest -E Slow`.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "velko/base/env.h"
#include "velko/base/files.h"
#include "velko/host/agent.h"
#include "velko/middleware/analyst/middleware.h"

namespace velko {
namespace {

namespace fs = std::filesystem;

// True while `pid` names a live process (a zombie counts as gone).
bool alive(pid_t pid) {
  if (::kill(pid, 0) != 0) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  size_t paren = line.rfind(')');
  return paren == std::string::npos || paren + 2 >= line.size() || line[paren + 2] != 'Z';
}

TEST(ChartsSlow, RealSixtySecondLimitStopsTheScriptAndItsChildren) {
  fs::path dir = fs::temp_directory_path() / ("velko-charts-slow-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "home");
  fs::create_directories(dir / "pids");
  base::ScopedEnv home("HOME", (dir / "home").string());
  base::ScopedEnv python("VELKO_PYTHON", std::nullopt);
  base::ScopedEnv viewer("VELKO_CHART_VIEWER", std::nullopt);

  host::Agent agent({std::make_shared<middleware::analyst::DataAnalysisMiddleware>(nullptr, "cli", "/work/slow")});
  std::string code =
      "import subprocess, time\n"
      "open('" +
      (dir / "pids/script").string() +
      "', 'w').write(str(os.getpid()))\n"
      "child = subprocess.Popen(['sleep', '120'])\n"
      "open('" +
      (dir / "pids/child").string() +
      "', 'w').write(str(child.pid))\n"
      "time.sleep(61)\n"
      "plt.plot([1])\nplt.savefig('late.png')";
  std::string answer =
      agent.call_tool_text(host::ToolCall{"call-slow", "generate_charts", {{"python_code", code}}}, Json::object());
  EXPECT_EQ(answer, R"({"charts": [], "error": "Script execution timed out after 60 seconds"})");
  fs::path charts = dir / "home/.velko/charts/-work-slow";
  EXPECT_FALSE(fs::exists(charts / "_temp_chart_script.py"));
  EXPECT_FALSE(fs::exists(charts / "late.png"));

  pid_t script = std::stoi(base::read_file(dir / "pids/script"));
  pid_t child = std::stoi(base::read_file(dir / "pids/child"));
  for (int attempt = 0; attempt < 100 && (alive(script) || alive(child)); ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_FALSE(alive(script));
  EXPECT_FALSE(alive(child));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace velko
