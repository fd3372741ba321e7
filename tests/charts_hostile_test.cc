// Chart code written by a model that was steered against the user: the real chart tools,
// the real interpreter and the real sandbox, in cli mode and in web mode. The code tries
// to read canaries in the invoking user's home, the configuration store, ~/.ssh, other
// sandboxes and /etc/shadow, to write outside its directory, to undo the sandbox's mounts,
// to leave a process running and to write to the warehouse; the tool's answer must carry
// no canary and no secret, and the host must show no trace of any of it. Charts from the
// PostgreSQL test server are drawn as real PNGs in both modes, from a read-only session.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/support/pg_warehouse.h"
#include "tests/support/processes.h"
#include "velko/base/env.h"
#include "velko/base/files.h"
#include "velko/host/agent.h"
#include "velko/middleware/analyst/middleware.h"
#include "velko/platform/config/local_config.h"
#include "velko/platform/sandbox/e2b_backend.h"
#include "velko/platform/sandbox/sandbox.h"
#include "velko/platform/services/hosted_services.h"

namespace velko {
namespace {

namespace fs = std::filesystem;

const std::string PNG_SIGNATURE("\x89PNG\r\n\x1a\n", 8);
const std::string STORED_SECRET = "Stored-S3cret-" + std::to_string(::getpid());
const std::string HOST_SECRET = "Host-Env-S3cret-" + std::to_string(::getpid());

// A Python list literal of the paths.
std::string python_list(const std::vector<fs::path>& paths) {
  std::string out = "[";
  for (const auto& path : paths) out += base::quote(path.string()) + ", ";
  return out + "]";
}

// Each test gets a directory under the build tree (not /tmp, which the sandbox replaces
// anyway, so that hiding is what is tested), a HOME with a configuration store holding a
// stored secret, canaries, and a sandbox root with another sandbox's file.
class HostileCharts : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    dir_ = fs::path(VELKO_TEST_BINARY_DIR) / ("hostile-charts-" + std::to_string(::getpid()) + "-" + GetParam());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "home/.ssh");
    fs::create_directories(dir_ / "project");
    fs::create_directories(dir_ / "sandboxes/someone-else");
    envs_.push_back(std::make_unique<base::ScopedEnv>("HOME", (dir_ / "home").string()));
    envs_.push_back(std::make_unique<base::ScopedEnv>("VELKO_SANDBOX_ROOT", (dir_ / "sandboxes").string()));
    envs_.push_back(std::make_unique<base::ScopedEnv>("VELKO_STORAGE_ROOT", (dir_ / "storage").string()));
    envs_.push_back(std::make_unique<base::ScopedEnv>("VELKO_CHART_VIEWER", std::nullopt));
    envs_.push_back(std::make_unique<base::ScopedEnv>("VELKO_CHART_SANDBOX", std::nullopt));
    envs_.push_back(std::make_unique<base::ScopedEnv>("VELKO_SANDBOX_NETWORK", std::nullopt));
    envs_.push_back(
        std::make_unique<base::ScopedEnv>("DATABASE_URL", "postgres://etl:" + HOST_SECRET + "@db.internal/prod"));
    envs_.push_back(std::make_unique<base::ScopedEnv>("WAREHOUSE_API_KEY", HOST_SECRET));
    canary(dir_ / "home/canary.txt");
    canary(dir_ / "home/.ssh/id_ed25519");
    canary(dir_ / "sandboxes/someone-else/notes.txt");
    // The invoking user's real home, /root when the suite runs as root (as in CI).
    if (const passwd* user = ::getpwuid(::geteuid()); user != nullptr && user->pw_dir != nullptr) {
      fs::path real = fs::path(user->pw_dir) / (".velko-canary-" + std::to_string(::getpid()) + GetParam());
      std::ofstream out(real);
      if (out << "CANARY " << real.string()) {
        out.close();
        real_home_canary_ = real;
        canaries_.push_back(real);
      }
    }
    platform::config::LocalConfigStore().add_connection("other",
                                                        {{"type", "POSTGRES"},
                                                         {"host", "db.internal"},
                                                         {"database", "d"},
                                                         {"username", "u"},
                                                         {"password", STORED_SECRET}},
                                                        false);
    // The project directory is shown read-only in cli mode, for the data files a chart reads;
    // only writing to it is an attack.
    readable_ = canaries_;
    readable_.push_back(dir_ / "home/.velko/config.json");
    readable_.push_back("/home/user/../../" + (dir_ / "home/.velko/config.json").string());
    readable_.push_back("/etc/shadow");
  }
  void TearDown() override {
    envs_.clear();
    std::error_code ignored;
    if (real_home_canary_) fs::remove(*real_home_canary_, ignored);
    fs::remove_all(dir_, ignored);
  }

  void canary(const fs::path& path) {
    base::write_file_atomic(path, "CANARY " + path.string());
    canaries_.push_back(path);
  }

  std::shared_ptr<host::AgentMiddleware> middleware(const Json& web_databases) {
    if (GetParam() == "cli") {
      return std::make_shared<middleware::analyst::DataAnalysisMiddleware>(nullptr, "cli", (dir_ / "project").string());
    }
    services_ = std::make_unique<platform::services::ScopedHostedServices>(
        std::make_shared<platform::services::InMemoryServices>(web_databases, Json::object(), Json::object()));
    auto backend = std::make_shared<platform::sandbox::E2BBackend>();
    backend->set_id("hostile");
    return std::make_shared<middleware::analyst::DataAnalysisMiddleware>(backend, "web");
  }

  Json call(const std::shared_ptr<host::AgentMiddleware>& tools, const std::string& code, const std::string& id,
            const Json& state) {
    host::Agent agent({tools});
    return base::loads(agent.call_tool_text(host::ToolCall{id, "generate_charts", {{"python_code", code}}}, state));
  }

  // Everything the tool said, as one text to search.
  static std::string said(const Json& answer) { return base::dumps(answer); }

  void expect_no_canary_or_secret(const Json& answer) {
    const std::string text = said(answer);
    EXPECT_EQ(text.find("CANARY"), std::string::npos) << text;
    EXPECT_EQ(text.find(STORED_SECRET), std::string::npos) << text;
  }

  fs::path dir_;
  std::vector<fs::path> canaries_;
  std::vector<fs::path> readable_;
  std::optional<fs::path> real_home_canary_;
  std::vector<std::unique_ptr<base::ScopedEnv>> envs_;
  std::unique_ptr<platform::services::ScopedHostedServices> services_;
};

TEST_P(HostileCharts, CodeThatAttacksTheHostFindsNothingAndLeavesNothing) {
  const std::string marker = "velko-survivor-" + std::to_string(::getpid()) + "-" + GetParam();
  const fs::path escape = "/usr/velko-escape-" + std::to_string(::getpid());
  const std::vector<fs::path> writes = {dir_ / "home/written.txt", dir_ / "project/written.txt",
                                        dir_ / "sandboxes/someone-else/written.txt", escape, "/etc/velko-written"};
  fs::path db = dir_ / "warehouse.db";
  testing::make_sqlite_warehouse(db);
  const std::string rows_before = testing::sqlite_scalar(db, "SELECT count(*) FROM customers");
  ASSERT_FALSE(rows_before.empty());
  platform::config::LocalConfigStore().add_connection("demo", {{"type", "SQLITE"}, {"database", db.string()}}, true);

  const std::string code =
      "import json, os, sqlite3, subprocess, sys\n"
      "report = {'read': [], 'wrote': [], 'warehouse': ''}\n"
      "for path in " +
      python_list(readable_) +
      ":\n"
      "    try:\n"
      "        report['read'].append(open(path).read())\n"
      "    except Exception:\n"
      "        pass\n"
      "for path in " +
      python_list(writes) +
      ":\n"
      "    try:\n"
      "        open(path, 'w').write('escaped')\n"
      "    except Exception:\n"
      "        pass\n"
      "subprocess.run('umount /tmp; umount -l /usr; mount -o remount,rw /; mount -o remount,rw /usr; '\n"
      "               'touch " +
      escape.string() +
      "', shell=True, capture_output=True)\n"
      "subprocess.Popen([sys.executable, '-c', 'import time; time.sleep(120)', '" +
      marker +
      "'],\n"
      "                 start_new_session=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,\n"
      "                 stderr=subprocess.DEVNULL)\n"
      "try:\n"
      "    db = sqlite3.connect(" +
      base::quote(db.string()) +
      ")\n"
      "    db.execute(\"DELETE FROM customers\")\n"
      "    db.commit()\n"
      "    report['warehouse'] = 'deleted'\n"
      "except Exception as error:\n"
      "    report['warehouse'] = str(error)\n"
      "report['env'] = dict(os.environ)\n"
      "raise SystemExit('REPORT ' + json.dumps(report))\n";
  Json answer = call(middleware(Json{{"demo", {{"type", "SQLITE"}, {"database", db.string()}}}}), code, "hostile-1",
                     {{"connection_id", "demo"}});

  // The script ran to its end and reported what it got.
  const std::string error = answer.value("error", "");
  size_t at = error.find("REPORT ");
  ASSERT_NE(at, std::string::npos) << answer;
  Json report = base::loads(error.substr(at + 7, error.find_last_of('}') + 1 - at - 7));
  EXPECT_EQ(report["read"], Json::array()) << report["read"];
  expect_no_canary_or_secret(answer);
  // The host's own secrets stay outside: variables named as secrets, and URLs with credentials.
  EXPECT_FALSE(report["env"].contains("DATABASE_URL")) << report["env"];
  EXPECT_FALSE(report["env"].contains("WAREHOUSE_API_KEY")) << report["env"];
  EXPECT_EQ(said(answer).find(HOST_SECRET), std::string::npos);
  if (GetParam() == "cli") {
    // The warehouse file is bound read-only at its own path.
    EXPECT_NE(report["warehouse"].get<std::string>().find("readonly"), std::string::npos) << report["warehouse"];
  }
  EXPECT_EQ(testing::sqlite_scalar(db, "SELECT count(*) FROM customers"), rows_before);

  // Nothing reached the host's files, and nothing the script started is left running.
  for (const auto& path : writes) EXPECT_FALSE(fs::exists(path)) << path;
  for (const auto& path : canaries_) EXPECT_TRUE(fs::exists(path)) << path;
  bool survivor = !testing::running_with(marker).empty();
  for (int round = 0; survivor && round < 20; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    survivor = !testing::running_with(marker).empty();
  }
  EXPECT_FALSE(survivor) << marker;
}

// A chart from PostgreSQL drawn as a real PNG; the script's session cannot write, and
// neither the connection's password nor a stored one comes back in any form, not in the
// error output nor in image file names.
TEST_P(HostileCharts, PostgresChartsAreDrawnFromAReadOnlySessionWithNoSecretInAnyForm) {
  auto server = testing::PgServer::from_env();
  if (!server) GTEST_SKIP() << "VELKO_TEST_PG_URL is not set (scripts/pg_test_server.sh start)";
  const std::string password = server->password();
  ASSERT_GE(password.size(), 8u);
  platform::config::LocalConfigStore().add_connection("pg", server->database_config(), true);
  auto tools = middleware(Json{{"pg", server->database_config()}});
  const Json state = {{"connection_id", "pg"}};

  Json drawn = call(tools,
                    "df = query_db(\"SELECT status, count(*) AS orders FROM orders GROUP BY status ORDER BY status\")\n"
                    "assert len(df) == 4, df\n"
                    "from urllib.parse import urlsplit, unquote\n"
                    "password = unquote(urlsplit(os.environ['VELKO_CONNECTION_STRING']).password)\n"
                    "fig, ax = plt.subplots(figsize=(8, 4))\n"
                    "sns.barplot(data=df, x='status', y='orders', ax=ax)\n"
                    "plt.savefig('orders.png')\n"
                    "plt.savefig('pw-' + password + '.png')\n",
                    "pg-chart-1", state);
  ASSERT_FALSE(drawn.contains("error")) << drawn;
  ASSERT_EQ(drawn["charts"].size(), 2u) << drawn;
  EXPECT_EQ(said(drawn).find(password), std::string::npos) << drawn;
  expect_no_canary_or_secret(drawn);
  std::string png;
  for (const auto& chart : drawn["charts"]) {
    if (chart["filename"] != "orders.png") continue;
    png = GetParam() == "cli" ? base::read_file(chart["path"].get<std::string>())
                              : base::read_file(dir_ / "storage" / chart["key"].get<std::string>());
  }
  EXPECT_EQ(png.substr(0, 8), PNG_SIGNATURE);
  EXPECT_GT(png.size(), 10000u);

  const std::string table = "chart_wrote_" + std::to_string(::getpid()) + "_" + GetParam();
  Json refused = call(tools,
                      "import sys\n"
                      "from urllib.parse import quote\n"
                      "url = os.environ['VELKO_CONNECTION_STRING']\n"
                      "print(url, url[::-1], quote(url, safe=''), file=sys.stderr)\n"
                      "from sqlalchemy import create_engine, text\n"
                      "with create_engine(url).begin() as connection:\n"
                      "    connection.execute(text('CREATE TABLE " +
                          table + " (x int)'))\n",
                      "pg-chart-2", state);
  const std::string error = refused.value("error", "");
  EXPECT_NE(error.find("read-only transaction"), std::string::npos) << refused;
  EXPECT_EQ(error.find(password), std::string::npos) << error;
  std::string reversed(password.rbegin(), password.rend());
  EXPECT_EQ(error.find(reversed), std::string::npos) << error;
  expect_no_canary_or_secret(refused);
  if (!server->admin_url.empty()) {
    EXPECT_EQ(server->admin_scalar("SELECT count(*) FROM pg_tables WHERE tablename = '" + table + "'"), "0");
  }
}

INSTANTIATE_TEST_SUITE_P(BothModes, HostileCharts, ::testing::Values("cli", "web"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
}  // namespace velko
