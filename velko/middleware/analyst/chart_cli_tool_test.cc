#include "velko/middleware/analyst/chart_cli_tool.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <thread>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/files.h"
#include "velko/base/strings.h"
#include "velko/middleware/analyst/chart_support.h"
#include "velko/middleware/analyst/tools.h"
#include "velko/platform/config/local_config.h"

namespace velko::middleware::analyst {
namespace {

namespace fs = std::filesystem;

std::string golden(const std::string& name) {
  fs::path dir = fs::path(__FILE__).parent_path() / "testdata";
  if (auto source = base::getenv_opt("VELKO_SOURCE_DIR")) dir = fs::path(*source) / "velko/middleware/analyst/testdata";
  return base::read_file(dir / name);
}

// True while `pid` names a live process (a zombie counts as gone).
bool alive(pid_t pid) {
  if (::kill(pid, 0) != 0) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  size_t paren = line.rfind(')');
  return paren == std::string::npos || paren + 2 >= line.size() || line[paren + 2] != 'Z';
}

// A temporary HOME, stand-in interpreters written as shell scripts (they receive the
// script path as $1, as the real interpreter does) and a viewer that logs what it opens.
// The stand-ins live in the test's directory and report host pids, so they run without
// the sandbox (VELKO_CHART_SANDBOX=off); tests/charts_sandbox_test.cc runs real Python in
// it.
class CliChartToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("velko-cli-charts-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "home");
    home_ = std::make_unique<base::ScopedEnv>("HOME", (dir_ / "home").string());
    no_sandbox_ = std::make_unique<base::ScopedEnv>(CHART_SANDBOX_ENV, "off");
    base::write_file_atomic(dir_ / "viewer", "#!/bin/sh\necho \"$1\" >> " + (dir_ / "viewer.log").string() + "\n",
                            0755);
  }
  void TearDown() override {
    no_sandbox_.reset();
    home_.reset();
    fs::remove_all(dir_);
  }
  std::string fake_python(const std::string& body) {
    fs::path path = dir_ / ("python-" + std::to_string(++interpreters_));
    base::write_file_atomic(path, "#!/bin/sh\n" + body + "\n", 0755);
    return path.string();
  }
  CliChartOptions options(const std::string& python) {
    CliChartOptions chosen;
    chosen.python = python;
    chosen.viewer = (dir_ / "viewer").string();
    return chosen;
  }
  Json call(const host::Tool& tool, const std::string& code, const Json& state = Json::object()) {
    return base::loads(tool.invoke({{"python_code", code}}, host::ToolRuntime{state, "call-1", Json::object()}));
  }
  fs::path charts_dir() const { return dir_ / "home" / ".velko" / "charts" / "-work-sales"; }
  std::vector<std::string> viewer_log() const {
    std::vector<std::string> lines;
    if (!fs::exists(dir_ / "viewer.log")) return lines;
    const std::string log = base::read_file(dir_ / "viewer.log");
    for (std::string_view line : base::split(log, '\n')) {
      if (!line.empty()) lines.emplace_back(line);
    }
    return lines;
  }

  fs::path dir_;
  std::unique_ptr<base::ScopedEnv> home_;
  std::unique_ptr<base::ScopedEnv> no_sandbox_;
  int interpreters_ = 0;
};

const std::string SAMPLE_CODE =
    "df = query_db('SELECT region, SUM(amount) AS total FROM sales GROUP BY region')\n"
    "sns.barplot(data=df, x='region', y='total')\n"
    "plt.savefig('sales.png')";

TEST_F(CliChartToolTest, NameAndDescriptionAreTheModelsView) {
  host::Tool tool = _generate_charts_cli_tool_generator(std::string("/work/sales"));
  EXPECT_EQ(tool.name(), "generate_charts");
  EXPECT_EQ(tool.description(), golden("chart_cli_description.txt"));
  EXPECT_EQ(tool.input_schema()["required"], Json::array({"python_code"}));
}

TEST_F(CliChartToolTest, ChartDirectoryIsNamedAfterTheProject) {
  fs::path charts = dir_ / "home" / ".velko" / "charts";
  EXPECT_EQ(chart_output_dir(std::string("/work/sales")), charts / "-work-sales");
  EXPECT_EQ(chart_output_dir(std::string("")), charts);
  EXPECT_EQ(chart_output_dir(std::nullopt), charts);

  std::string python = fake_python("exit 0");
  call(make_cli_chart_tool(std::nullopt, options(python)), "pass");
  EXPECT_TRUE(fs::is_directory(charts));
}

TEST_F(CliChartToolTest, ScriptsAreGoldenAndTheUrlOnlyReachesTheChildEnvironment) {
  std::string captured = (dir_ / "script.py").string();
  std::string env_file = (dir_ / "env.txt").string();
  std::string python =
      fake_python("cp \"$1\" " + captured + "; printf '%s' \"${VELKO_CONNECTION_STRING-unset}\" > " + env_file);
  host::Tool tool = make_cli_chart_tool(std::string("/work/sales"), options(python));
  base::ScopedEnv inherited("VELKO_CONNECTION_STRING", "inherited-value");

  // No configuration: part B2, and the inherited value passes unchanged.
  Json answer = call(tool, SAMPLE_CODE);
  EXPECT_EQ(answer["error"], NO_IMAGES_ERROR);
  EXPECT_EQ(base::read_file(captured),
            base::replace_all(golden("chart_cli_script_no_connection.py"), "{output_dir}", charts_dir().string()));
  EXPECT_EQ(base::read_file(env_file), "inherited-value");
  EXPECT_FALSE(fs::exists(charts_dir() / CLI_CHART_SCRIPT_NAME));

  // The default connection of the local store: part B1 and the URL overriding the inherited one.
  platform::config::LocalConfigStore().add_connection("warehouse", {{"type", "SQLITE"}, {"database", "/data/w.db"}},
                                                      true);
  call(tool, SAMPLE_CODE);
  std::string script = base::read_file(captured);
  EXPECT_EQ(script, base::replace_all(golden("chart_cli_script_connection.py"), "{output_dir}", charts_dir().string()));
  EXPECT_EQ(base::read_file(env_file), "sqlite:////data/w.db");
  EXPECT_EQ(script.find("sqlite:"), std::string::npos);
}

TEST_F(CliChartToolTest, ConfigFailureIsReportedBeforeAnythingRuns) {
  std::string marker = (dir_ / "ran").string();
  platform::config::LocalConfigStore().add_connection("warehouse", {{"type", "MYSQL"}}, true);
  host::Tool tool = make_cli_chart_tool(std::string("/work/sales"), options(fake_python("touch " + marker)));
  Json answer = call(tool, SAMPLE_CODE, {{"connection_id", "warehouse"}});
  EXPECT_EQ(base::dumps(answer),
            R"({"charts": [], "error": "Failed to get database config: Unsupported connection type: MYSQL"})");
  EXPECT_FALSE(fs::exists(marker));
}

TEST_F(CliChartToolTest, FailingScriptGivesItsErrorOutputMaskedAndRemovesTheScript) {
  host::Tool traceback = make_cli_chart_tool(
      std::string("/work/sales"),
      options(fake_python("echo 'Traceback (most recent call last):' >&2; echo 'ValueError: boom' >&2; exit 1")));
  EXPECT_EQ(call(traceback, "raise ValueError('boom')")["error"],
            "Traceback (most recent call last):\nValueError: boom\n");
  EXPECT_FALSE(fs::exists(charts_dir() / CLI_CHART_SCRIPT_NAME));

  host::Tool silent = make_cli_chart_tool(std::string("/work/sales"), options(fake_python("exit 2")));
  EXPECT_EQ(call(silent, "...")["error"], "Script exited with status 2 and wrote no error output");

  platform::config::LocalConfigStore().add_connection(
      "pg", {{"type", "POSTGRES"}, {"host", "db"}, {"database", "d"}, {"username", "u"}, {"password", "pw-1234567"}},
      true);
  host::Tool leaky = make_cli_chart_tool(std::string("/work/sales"),
                                         options(fake_python("echo \"bad url $VELKO_CONNECTION_STRING\" >&2; exit 1")));
  EXPECT_EQ(call(leaky, "...")["error"], "bad url postgresql+psycopg://u:***@db:5432/d\n");
}

TEST_F(CliChartToolTest, NewImagesInPatternOrderAreReportedAndOpened) {
  fs::create_directories(charts_dir());
  auto an_hour_ago = fs::file_time_type::clock::now() - std::chrono::hours(1);
  for (const char* name : {"old.png", "rewritten.png"}) {
    base::write_file_atomic(charts_dir() / name, "old");
    fs::last_write_time(charts_dir() / name, an_hour_ago);
  }
  // Left by an earlier call with a time not before this call's start (a clock tick shared
  // with this call's script, or a clock set ahead), and not rewritten by this run.
  base::write_file_atomic(charts_dir() / "earlier.png", "old");
  fs::last_write_time(charts_dir() / "earlier.png", fs::file_time_type::clock::now() + std::chrono::hours(1));
  std::string python = fake_python(
      "cd \"$(dirname \"$1\")\" && printf x > a.png && printf x > c.jpg && printf x > b.jpeg && "
      "printf x > .hidden.png && mkdir -p sub dir.png && printf x > sub/d.png && printf x > x.gif && "
      "printf x > c.JPG && printf new > rewritten.png");
  Json answer = call(make_cli_chart_tool(std::string("/work/sales"), options(python)), "...");
  ASSERT_TRUE(answer.contains("charts")) << answer;
  ASSERT_FALSE(answer.contains("error")) << answer;
  std::vector<std::string> names;
  for (const auto& chart : answer["charts"]) {
    names.push_back(chart["filename"]);
    EXPECT_EQ(chart["path"], (charts_dir() / chart["filename"].get<std::string>()).string());
    EXPECT_EQ(chart.begin().key(), "path");
  }
  ASSERT_EQ(names.size(), 4u);
  // The two new PNG files come in directory order, then the JPG, then the JPEG.
  EXPECT_EQ(std::set<std::string>(names.begin(), names.begin() + 2), (std::set<std::string>{"a.png", "rewritten.png"}));
  EXPECT_EQ(names[2], "c.jpg");
  EXPECT_EQ(names[3], "b.jpeg");

  std::vector<std::string> opened;
  for (const auto& chart : answer["charts"]) opened.push_back(chart["path"]);
  EXPECT_EQ(viewer_log(), opened);
}

TEST_F(CliChartToolTest, ImageStampedWithTheScriptsOwnTimeIsNew) {
  // File systems with coarse timestamps give an image written right after the script the
  // script's time; the start time is read from the same clock, so it still counts.
  std::string python =
      fake_python("printf x > \"$(dirname \"$1\")/same.png\" && touch -r \"$1\" \"$(dirname \"$1\")/same.png\"");
  Json answer = call(make_cli_chart_tool(std::string("/work/sales"), options(python)), "...");
  ASSERT_EQ(answer["charts"].size(), 1u) << answer;
  EXPECT_EQ(answer["charts"][0]["filename"], "same.png");
}

TEST_F(CliChartToolTest, ViewerFromEnvironmentAndMissingViewerStillReports) {
  std::string python = fake_python("printf x > \"$(dirname \"$1\")/v.png\"");
  CliChartOptions from_env = options(python);
  from_env.viewer.reset();
  base::ScopedEnv viewer("VELKO_CHART_VIEWER", (dir_ / "viewer").string());
  Json answer = call(make_cli_chart_tool(std::string("/work/sales"), from_env), "...");
  EXPECT_EQ(viewer_log(), std::vector<std::string>{(charts_dir() / "v.png").string()});

  CliChartOptions missing = options(python);
  missing.viewer = "velko-viewer-not-installed";
  answer = call(make_cli_chart_tool(std::string("/work/sales"), missing), "...");
  EXPECT_EQ(base::dumps(answer), "{\"charts\": [{\"path\": " + base::quote((charts_dir() / "v.png").string()) +
                                     ", \"filename\": \"v.png\"}]}");
}

TEST_F(CliChartToolTest, TimeOutStopsTheScriptAndEveryProcessItStarted) {
  fs::create_directories(dir_ / "pids");
  std::string python = fake_python("echo $$ > " + (dir_ / "pids/child").string() + "; sleep 60 & echo $! > " +
                                   (dir_ / "pids/grandchild").string() + "; wait");
  CliChartOptions limited = options(python);
  limited.timeout = std::chrono::seconds(1);
  Json answer = call(make_cli_chart_tool(std::string("/work/sales"), limited), "import time; time.sleep(61)");
  EXPECT_EQ(base::dumps(answer), R"({"charts": [], "error": "Script execution timed out after 1 seconds"})");
  EXPECT_FALSE(fs::exists(charts_dir() / CLI_CHART_SCRIPT_NAME));
  pid_t child = std::stoi(base::read_file(dir_ / "pids/child"));
  pid_t grandchild = std::stoi(base::read_file(dir_ / "pids/grandchild"));
  for (int attempt = 0; attempt < 100 && (alive(child) || alive(grandchild)); ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_FALSE(alive(child));
  EXPECT_FALSE(alive(grandchild));
}

TEST_F(CliChartToolTest, ConcurrentCallsInOneProjectEachRunTheirOwnScript) {
  // Each stand-in waits before reading its script, then draws the image its script names.
  std::string python =
      fake_python("sleep 0.3; token=$(sed -n 's/^# TOKEN=//p' \"$1\"); printf x > \"$(dirname \"$1\")/$token.png\"");
  host::Tool tool = make_cli_chart_tool(std::string("/work/sales"), options(python));
  std::vector<std::future<Json>> calls;
  for (const char* token : {"alpha", "beta", "gamma"}) {
    calls.push_back(
        std::async(std::launch::async, [this, &tool, token] { return call(tool, std::string("# TOKEN=") + token); }));
  }
  std::vector<std::string> expected = {"alpha.png", "beta.png", "gamma.png"};
  for (size_t idx = 0; idx < calls.size(); ++idx) {
    Json answer = calls[idx].get();
    ASSERT_EQ(answer["charts"].size(), 1u) << answer;
    EXPECT_EQ(answer["charts"][0]["filename"], expected[idx]);
  }
}

TEST_F(CliChartToolTest, UnusableHomeIsAnErrorAnswerNotAnException) {
  base::write_file_atomic(dir_ / "not-a-dir", "file");
  base::ScopedEnv home("HOME", (dir_ / "not-a-dir").string());
  Json answer = call(make_cli_chart_tool(std::string("/work/sales"), options(fake_python("exit 0"))), "...");
  EXPECT_EQ(answer["charts"], Json::array());
  EXPECT_NE(answer["error"].get<std::string>().find("not-a-dir"), std::string::npos) << answer;
}

TEST(CliChartScript, OutputDirectoryIsEscapedAndCodeKeptAsReceived) {
  std::string script = _build_cli_chart_script("/home/a\"b/.velko/charts/-x", "x = 1\r\n", false);
  EXPECT_NE(script.find("os.chdir(\"/home/a\\\"b/.velko/charts/-x\")\n"), std::string::npos);
  EXPECT_NE(script.find("\n# User code\nx = 1\r\n\n\nplt.close(\"all\")\n"), std::string::npos);
}

}  // namespace
}  // namespace velko::middleware::analyst
