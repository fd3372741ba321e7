// End to end: the chart tools with the real Python interpreter (pandas, matplotlib,
// seaborn, SQLAlchemy) drawing from an embedded SQLite warehouse, in cli mode as a local
// child process and in web mode inside the local bubblewrap sandbox with storage uploads.
// The real 60-second limit is tested in charts_slow_test.cc.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "velko/base/env.h"
#include "velko/base/files.h"
#include "velko/base/process.h"
#include "velko/host/agent.h"
#include "velko/middleware/analyst/middleware.h"
#include "velko/platform/config/local_config.h"
#include "velko/platform/db_utils/urls.h"
#include "velko/platform/sandbox/e2b_backend.h"
#include "velko/platform/sandbox/sandbox.h"
#include "velko/platform/services/hosted_services.h"

namespace velko {
namespace {

namespace fs = std::filesystem;

constexpr const char* WAREHOUSE_SQL =
    "CREATE TABLE sales (region TEXT, month TEXT, amount REAL);"
    "INSERT INTO sales VALUES ('North', '2024-01', 120.5), ('North', '2024-02', 140.0), ('North', '2024-03', 160.25),"
    " ('South', '2024-01', 90.0), ('South', '2024-02', 95.5), ('South', '2024-03', 130.0),"
    " ('West', '2024-01', 60.0), ('West', '2024-02', 80.0), ('West', '2024-03', 75.0);";

constexpr const char* CHART_CODE =
    "df = query_db('SELECT month, region, SUM(amount) AS revenue FROM sales GROUP BY month, region ORDER BY month')\n"
    "assert len(df) == 9, df\n"
    "fig, ax = plt.subplots(figsize=(8, 4))\n"
    "sns.lineplot(data=df, x='month', y='revenue', hue='region', marker='o', ax=ax)\n"
    "ax.set_title('Revenue by region')\n"
    "plt.savefig('revenue.png')";

const std::string PNG_SIGNATURE("\x89PNG\r\n\x1a\n", 8);

// A fresh HOME, sandboxes root and storage root; the warehouse is made with Python's own
// sqlite3 module. VELKO_PYTHON is unset, so the interpreter search itself is exercised.
class ChartsEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("velko-charts-e2e-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "home");
    envs_.push_back(std::make_unique<base::ScopedEnv>("HOME", (dir_ / "home").string()));
    envs_.push_back(std::make_unique<base::ScopedEnv>("VELKO_SANDBOX_ROOT", (dir_ / "sandboxes").string()));
    envs_.push_back(std::make_unique<base::ScopedEnv>("VELKO_STORAGE_ROOT", (dir_ / "storage").string()));
    envs_.push_back(std::make_unique<base::ScopedEnv>("VELKO_PYTHON", std::nullopt));
    envs_.push_back(std::make_unique<base::ScopedEnv>("VELKO_CHART_VIEWER", std::nullopt));
    envs_.push_back(std::make_unique<base::ScopedEnv>("VELKO_CONNECTION_STRING", std::nullopt));
  }
  void TearDown() override {
    envs_.clear();
    fs::remove_all(dir_);
  }
  fs::path make_warehouse() {
    fs::path db = dir_ / "warehouse.db";
    base::ProcessOptions create;
    create.argv = {"/usr/bin/python3", "-c",
                   "import sqlite3, sys; c = sqlite3.connect(sys.argv[1]); c.executescript(sys.argv[2]); c.commit()",
                   db.string(), WAREHOUSE_SQL};
    base::ProcessResult result = base::run_process(create);
    EXPECT_EQ(result.exit_code, 0) << result.stderr_text;
    return db;
  }
  Json call_charts(const std::shared_ptr<host::AgentMiddleware>& middleware, const std::string& code,
                   const std::string& tool_call_id, const Json& state) {
    host::Agent agent({middleware});
    return base::loads(
        agent.call_tool_text(host::ToolCall{tool_call_id, "generate_charts", {{"python_code", code}}}, state));
  }
  static void expect_png(const std::string& data) {
    EXPECT_EQ(data.substr(0, 8), PNG_SIGNATURE);
    EXPECT_GT(data.size(), 10000u);  // an 800x400 line chart, not an empty canvas
  }

  fs::path dir_;
  std::vector<std::unique_ptr<base::ScopedEnv>> envs_;
};

TEST_F(ChartsEndToEnd, CliDrawsFromTheLocalWarehouseWithoutAViewerInstalled) {
  fs::path db = make_warehouse();
  platform::config::LocalConfigStore().add_connection("demo", {{"type", "SQLITE"}, {"database", db.string()}}, true);
  auto middleware = std::make_shared<middleware::analyst::DataAnalysisMiddleware>(nullptr, "cli", "/work/sales");

  Json answer = call_charts(middleware, CHART_CODE, "call-cli-1", {{"connection_id", "demo"}});
  fs::path chart = dir_ / "home/.velko/charts/-work-sales/revenue.png";
  ASSERT_FALSE(answer.contains("error")) << answer;
  EXPECT_EQ(base::dumps(answer),
            "{\"charts\": [{\"path\": " + base::quote(chart.string()) + ", \"filename\": \"revenue.png\"}]}");
  expect_png(base::read_file(chart));
  EXPECT_FALSE(fs::exists(chart.parent_path() / "_temp_chart_script.py"));

  // A second call that draws nothing new reports no images, not the earlier chart.
  answer = call_charts(middleware, "print('nothing drawn')", "call-cli-2", {{"connection_id", "demo"}});
  EXPECT_EQ(answer["error"], "No images generated. Ensure your code calls plt.savefig('filename.png')");

  // The script's own failure comes back as its error output.
  answer = call_charts(middleware, "query_db('SELECT * FROM no_such_table')", "call-cli-3", {});
  EXPECT_NE(answer["error"].get<std::string>().find("no such table: no_such_table"), std::string::npos) << answer;
}

TEST_F(ChartsEndToEnd, WebDrawsInTheLocalSandboxAndUploadsToStorage) {
  fs::path db = make_warehouse();
  auto backend = std::make_shared<platform::sandbox::E2BBackend>();
  backend->set_id("e2e-sandbox");
  // In web mode the warehouse must be reachable from inside the sandbox.
  platform::sandbox::connect("e2e-sandbox")->files().write("/home/user/data/warehouse.db", base::read_file(db));
  platform::services::ScopedHostedServices services(std::make_shared<platform::services::InMemoryServices>(
      Json{{"demo", {{"type", "SQLITE"}, {"database", "/home/user/data/warehouse.db"}}}}, Json::object(),
      Json::object()));
  auto middleware = std::make_shared<middleware::analyst::DataAnalysisMiddleware>(backend, "web");

  Json answer = call_charts(middleware, CHART_CODE + std::string("\nplt.savefig('second.jpg')"), "call:web/1",
                            {{"connection_id", "demo"}});
  ASSERT_FALSE(answer.contains("error")) << answer;
  ASSERT_EQ(answer["charts"].size(), 2u) << answer;
  EXPECT_EQ(answer["charts"][0]["key"], "charts/call_web_1/revenue.png");
  EXPECT_EQ(answer["charts"][0]["filename"], "revenue.png");
  EXPECT_EQ(answer["charts"][1]["key"], "charts/call_web_1/second.jpg");
  fs::path stored = dir_ / "storage/charts/call_web_1/revenue.png";
  EXPECT_EQ(answer["charts"][0]["url"], "file://" + stored.string());
  expect_png(base::read_file(stored));
  EXPECT_EQ(base::read_file(dir_ / "storage/charts/call_web_1/second.jpg").substr(0, 3), "\xff\xd8\xff");
  EXPECT_FALSE(fs::exists(dir_ / "sandboxes/e2e-sandbox/.velko/charts/call_web_1"));

  // Without a connection the script still runs code that needs no data.
  answer = call_charts(middleware, "plt.plot([1, 2, 3])\nplt.savefig('plain.png')", "call-web-2", {});
  ASSERT_EQ(answer["charts"].size(), 1u) << answer;
  expect_png(base::read_file(dir_ / "storage/charts/call-web-2/plain.png"));

  // A script that fails keeps its work directory for inspection.
  answer = call_charts(middleware, "query_db('SELECT 1')", "call-web-3", {});
  EXPECT_EQ(answer["error"].get<std::string>().rfind("Script execution failed: ", 0), 0u) << answer;
  EXPECT_NE(answer["error"].get<std::string>().find("No database connection configured. Set connection_id in state."),
            std::string::npos);
  EXPECT_TRUE(fs::exists(dir_ / "sandboxes/e2e-sandbox/.velko/charts/call-web-3/charts.py"));
}

}  // namespace
}  // namespace velko
