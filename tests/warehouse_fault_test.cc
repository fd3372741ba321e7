// The tools survive a lost server connection: a pooled connection terminated between two
// calls, and a server restarted between two calls. These tests run a PostgreSQL server
// of their own (scripts/pg_test_server.sh), since they stop and restart it.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <thread>

#include "tests/support/pg_warehouse.h"
#include "velko/base/json.h"
#include "velko/middleware/analyst/tools.h"
#include "velko/platform/config/local_config.h"
#include "velko/platform/db_utils/urls.h"
#include "velko/platform/warehouse/warehouse.h"

namespace velko {
namespace {

using Clock = std::chrono::steady_clock;

class PgFaultTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!testing::PgServer::from_env()) return;
    server_ = new testing::PrivatePgServer();
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    if (server_ == nullptr) GTEST_SKIP() << "VELKO_TEST_PG_URL is not set (scripts/pg_test_server.sh start)";
    platform::warehouse::clear_engine_cache();
    platform::config::LocalConfigStore().add_connection("pg", server_->server().database_config(), true);
  }
  void TearDown() override { platform::warehouse::clear_engine_cache(); }

  std::string sql(const std::string& query) {
    host::ToolRuntime runtime;
    return middleware::analyst::_execute_sql_query_tool_generator("cli").invoke({{"query", query}}, runtime);
  }
  long long backend_pid() {
    std::string answer = sql("SELECT pg_backend_pid() AS pid");
    Json parsed = Json::parse(answer, nullptr, false);
    if (parsed.is_discarded() || !parsed.contains("rows")) {
      ADD_FAILURE() << answer;
      return -1;
    }
    return parsed["rows"][0][0].get<long long>();
  }
  platform::sql::PoolStats stats() { return platform::warehouse::get_db_engine(std::nullopt, "cli")->stats(); }

  static testing::PrivatePgServer* server_;
  testing::TempHome home_;
};

testing::PrivatePgServer* PgFaultTest::server_ = nullptr;

TEST_F(PgFaultTest, ATerminatedPooledConnectionIsReplacedAtTheNextCall) {
  long long first = backend_pid();
  ASSERT_GT(first, 0);
  EXPECT_EQ(server_->server().admin_scalar("SELECT pg_terminate_backend(" + std::to_string(first) + ")"), "t");
  for (int wait = 0; wait < 100; ++wait) {  // until the backend is gone
    if (server_->server().admin_scalar("SELECT count(*) FROM pg_stat_activity WHERE pid = " + std::to_string(first)) ==
        "0") {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  auto started = Clock::now();
  long long second = backend_pid();
  double millis = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
  EXPECT_GT(second, 0);
  EXPECT_NE(second, first);
  platform::sql::PoolStats pool = stats();
  EXPECT_EQ(pool.opened, 2u);
  EXPECT_EQ(pool.failed_pings, 1u);  // found dead before use, not after a failed statement
  std::cout << "[ figures ] terminated backend " << first << ": next call answered in " << millis
            << " ms on new backend " << second << " (" << pool.opened << " connections opened, " << pool.failed_pings
            << " failed pre-ping)\n";
}

TEST_F(PgFaultTest, TheFirstCallAfterARestartSucceeds) {
  long long before = backend_pid();
  ASSERT_GT(before, 0);
  auto restart_started = Clock::now();
  ASSERT_TRUE(server_->ctl("restart -m fast"));
  double restart_ms = std::chrono::duration<double, std::milli>(Clock::now() - restart_started).count();
  auto started = Clock::now();
  long long after = backend_pid();
  double millis = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
  EXPECT_GT(after, 0);
  EXPECT_NE(after, before);
  EXPECT_EQ(stats().opened, 2u);
  std::cout << "[ figures ] server restarted in " << restart_ms << " ms; first call after it answered in " << millis
            << " ms (" << stats().opened << " connections opened, " << stats().failed_pings << " failed pre-ping)\n";
}

TEST_F(PgFaultTest, ADownServerIsAnErrorTextUntilItIsBack) {
  ASSERT_GT(backend_pid(), 0);
  ASSERT_TRUE(server_->ctl("stop -m fast"));
  std::string down = sql("SELECT 1");
  EXPECT_TRUE(down.starts_with("Error executing query: ")) << down;
  EXPECT_EQ(down.find(server_->server().password()), std::string::npos) << down;
  EXPECT_EQ(down.find(platform::db_utils::percent_encode(server_->server().password())), std::string::npos) << down;
  ASSERT_TRUE(server_->ctl("start"));
  EXPECT_EQ(sql("SELECT 40 + 2 AS answer"), R"({"headers": ["answer"], "rows": [[42]]})");
}

}  // namespace
}  // namespace velko
