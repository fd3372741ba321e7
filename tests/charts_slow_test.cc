// The local chart tool's real 60-second limit: a script that sleeps for 61 seconds, and
// a process it started, are both stopped at 60 seconds and nothing is left running.
// It takes a minute: skip it locally with `ctest -E Slow`.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "tests/support/processes.h"
#include "velko/base/env.h"
#include "velko/host/agent.h"
#include "velko/middleware/analyst/middleware.h"

namespace velko {
namespace {

namespace fs = std::filesystem;

using testing::running_with;

TEST(ChartsSlow, RealSixtySecondLimitStopsTheScriptAndItsChildren) {
  fs::path dir = fs::temp_directory_path() / ("velko-charts-slow-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "home");
  base::ScopedEnv home("HOME", (dir / "home").string());
  base::ScopedEnv python("VELKO_PYTHON", std::nullopt);
  base::ScopedEnv viewer("VELKO_CHART_VIEWER", std::nullopt);

  host::Agent agent({std::make_shared<middleware::analyst::DataAnalysisMiddleware>(nullptr, "cli", "/work/slow")});
  // A child with a command line of its own, so it can be found from outside.
  const std::string sleeper = "120." + std::to_string(::getpid());
  std::string code =
      "import subprocess, time\n"
      "child = subprocess.Popen(['sleep', '" +
      sleeper +
      "'])\n"
      "time.sleep(1)\n"
      "time.sleep(60)\n"
      "plt.plot([1])\nplt.savefig('late.png')";
  // Seen while the call runs, so the checks after it look for the right command lines.
  std::atomic<bool> call_done = false, child_seen = false;
  std::thread watcher([&] {
    while (!call_done && !child_seen) {
      child_seen = !running_with(sleeper).empty();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  std::string answer =
      agent.call_tool_text(host::ToolCall{"call-slow", "generate_charts", {{"python_code", code}}}, Json::object());
  call_done = true;
  watcher.join();
  EXPECT_TRUE(child_seen);
  EXPECT_EQ(answer, R"({"charts": [], "error": "Script execution timed out after 60 seconds"})");
  fs::path charts = dir / "home/.velko/charts/-work-slow";
  EXPECT_FALSE(fs::exists(charts / "_temp_chart_script.py"));
  EXPECT_FALSE(fs::exists(charts / "late.png"));

  const std::string script_marker = (charts / "_temp_chart_script.py").string();
  for (int attempt = 0; attempt < 100 && !(running_with(script_marker).empty() && running_with(sleeper).empty());
       ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(running_with(script_marker).empty());
  EXPECT_TRUE(running_with(sleeper).empty());
  fs::remove_all(dir);
}

}  // namespace
}  // namespace velko
