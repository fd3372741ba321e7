#include "velko/databases/motherduck/motherduck_engine.h"

#include <gtest/gtest.h>

#include "velko/base/errors.h"
#include "velko/databases/motherduck/module.h"
#include "velko/platform/sql_remote/duckdb_driver.h"

namespace velko::databases::motherduck {
namespace {

class MotherduckEngineTest : public ::testing::Test {
 protected:
  void SetUp() override { clear_engine_cache(); }
  void TearDown() override { clear_engine_cache(); }
};

TEST_F(MotherduckEngineTest, TokenIsRequiredAndDatabaseDefaultsToEmpty) {
  try {
    create_motherduck_engine(MotherduckEngineArgs{"", "analytics"});
    ADD_FAILURE() << "an empty token must be refused";
  } catch (const base::ValueError& error) {
    EXPECT_STREQ(error.what(), "token is required for Motherduck");
  }
  try {
    create_motherduck_engine(Json{{"database", "analytics"}});
    ADD_FAILURE() << "a missing token must be refused";
  } catch (const base::TypeError& error) {
    EXPECT_STREQ(error.what(), "create_motherduck_engine() missing 1 required keyword-only argument: 'token'");
  }

  auto engine = create_motherduck_engine(Json{{"token", "md-secret&x=1"}});
  EXPECT_EQ(engine->url().drivername, "duckdb");
  EXPECT_EQ(engine->url().database, "md:");
  EXPECT_EQ(engine->url().query_value("motherduck_token"), "md-secret&x=1");  // encoded, not split
  EXPECT_TRUE(engine->options().pool_pre_ping);
  EXPECT_EQ(create_motherduck_engine(MotherduckEngineArgs{"md-secret&x=1", ""}), engine);
  auto named = create_motherduck_engine(MotherduckEngineArgs{"md-secret&x=1", "analytics"});
  EXPECT_NE(named, engine);
  EXPECT_EQ(named->url().database, "md:analytics");
}

TEST_F(MotherduckEngineTest, FirstConnectionExplainsAMissingDuckdbDriver) {
  if (platform::sql_remote::duckdb_available()) GTEST_SKIP() << "this build has DuckDB";
  auto engine = create_motherduck_engine(MotherduckEngineArgs{"md-secret-token", "analytics"});
  try {
    engine->connect();
    ADD_FAILURE() << "connecting without DuckDB must fail";
  } catch (const base::DatabaseError& error) {
    EXPECT_STREQ(error.what(), platform::sql_remote::DUCKDB_NOT_IN_BUILD);
  }
  host::Registry registry;
  register_module(registry);
  Json described = (*registry.operation("motherduck.create_engine"))(Json{{"token", "md-secret-token"}});
  EXPECT_EQ(described.dump().find("md-secret-token"), std::string::npos);
}

}  // namespace
}  // namespace velko::databases::motherduck
