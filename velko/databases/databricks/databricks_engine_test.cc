#include "velko/databases/databricks/databricks_engine.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "velko/base/errors.h"
#include "velko/databases/databricks/module.h"

namespace velko::databases::databricks {
namespace {

DatabricksEngineArgs base_args() {
  return {"https://adb-123.azuredatabricks.net/", "/sql/1.0/warehouses/abc123", "dapi-secret!@#", std::nullopt,
          std::nullopt};
}

class DatabricksEngineTest : public ::testing::Test {
 protected:
  void SetUp() override { clear_engine_cache(); }
  void TearDown() override { clear_engine_cache(); }
};

TEST_F(DatabricksEngineTest, RefusesEmptyRequiredValuesWithOneMessage) {
  for (auto blank : {&DatabricksEngineArgs::host, &DatabricksEngineArgs::http_path, &DatabricksEngineArgs::token}) {
    DatabricksEngineArgs args = base_args();
    args.*blank = "";
    try {
      create_databricks_engine(args);
      ADD_FAILURE() << "an empty required value must be refused";
    } catch (const base::ValueError& error) {
      EXPECT_STREQ(error.what(), "host, http_path, and token are required for Databricks connection");
    }
  }
  EXPECT_EQ(engine_cache_info().currsize, 0u);  // failures are not cached
}

TEST_F(DatabricksEngineTest, BuildsThePrePingEngineFromTheUrlBuilder) {
  auto engine = create_databricks_engine(base_args());
  const auto& url = engine->url();
  EXPECT_EQ(url.drivername, "databricks");
  EXPECT_EQ(url.host, "adb-123.azuredatabricks.net");
  EXPECT_EQ(url.username, "token");
  EXPECT_EQ(url.password, "dapi-secret!@#");
  EXPECT_EQ(url.query_value("http_path"), "/sql/1.0/warehouses/abc123");
  EXPECT_EQ(url.query_value("catalog"), std::nullopt);
  EXPECT_EQ(url.query_value("schema"), std::nullopt);
  EXPECT_TRUE(engine->options().pool_pre_ping);
  EXPECT_EQ(engine->stats().opened, 0u);  // lazy: no connection opened

  DatabricksEngineArgs with_both = base_args();
  with_both.catalog = "main";
  with_both.schema = "default";
  auto full = create_databricks_engine(with_both);
  EXPECT_EQ(full->url().query_value("catalog"), "main");
  EXPECT_EQ(full->url().query_value("schema"), "default");
  DatabricksEngineArgs empty_both = base_args();
  empty_both.catalog = "";
  empty_both.schema = "";
  auto empty = create_databricks_engine(empty_both);
  EXPECT_EQ(empty->url().query_value("catalog"), std::nullopt);
  EXPECT_EQ(empty->url().query_value("schema"), std::nullopt);
}

TEST_F(DatabricksEngineTest, CachesPerArgumentSetAndDropsTheLeastRecentlyUsed) {
  auto first = create_databricks_engine(base_args());
  EXPECT_EQ(create_databricks_engine(base_args()), first);
  DatabricksEngineArgs other_schema = base_args();
  other_schema.schema = "other";
  EXPECT_NE(create_databricks_engine(other_schema), first);
  DatabricksEngineArgs other_token = base_args();
  other_token.token = "another";
  EXPECT_NE(create_databricks_engine(other_token), first);

  clear_engine_cache();
  auto oldest = create_databricks_engine(base_args());
  std::vector<std::shared_ptr<platform::sql::Engine>> held;  // keeps addresses from being reused
  for (int idx = 1; idx < 256; ++idx) {
    DatabricksEngineArgs args = base_args();
    args.catalog = "c" + std::to_string(idx);
    held.push_back(create_databricks_engine(args));
  }
  EXPECT_EQ(engine_cache_info().currsize, 256u);
  EXPECT_EQ(create_databricks_engine(base_args()), oldest);  // 256 fit; this touches it
  DatabricksEngineArgs newcomer = base_args();
  newcomer.catalog = "c256";
  held.push_back(create_databricks_engine(newcomer));  // the 257th key drops c1, not the touched one
  EXPECT_EQ(engine_cache_info().currsize, 256u);
  EXPECT_EQ(create_databricks_engine(base_args()), oldest);
  DatabricksEngineArgs dropped = base_args();
  dropped.catalog = "c1";
  EXPECT_NE(create_databricks_engine(dropped), held[0]);
}

TEST_F(DatabricksEngineTest, ConcurrentCallersShareOneEnginePerKey) {
  constexpr int kThreads = 8;
  std::vector<std::vector<const platform::sql::Engine*>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int thread = 0; thread < kThreads; ++thread) {
    threads.emplace_back([&, thread] {
      for (int round = 0; round < 20; ++round) {
        for (int key = 0; key < 10; ++key) {
          DatabricksEngineArgs args = base_args();
          args.schema = "s" + std::to_string(key);
          auto engine = create_databricks_engine(args);
          if (round == 0) seen[thread].push_back(engine.get());
          if (seen[thread][key] != engine.get()) seen[thread][key] = nullptr;  // changed: recorded as a fault
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<const platform::sql::Engine*> distinct;
  for (const auto& per_thread : seen) {
    EXPECT_EQ(per_thread, seen[0]);
    distinct.insert(per_thread.begin(), per_thread.end());
  }
  EXPECT_EQ(distinct.size(), 10u);
  EXPECT_EQ(distinct.count(nullptr), 0u);
  EXPECT_EQ(engine_cache_info().misses, 10u);
}

TEST_F(DatabricksEngineTest, JsonArgumentsAreCheckedByName) {
  auto engine = create_databricks_engine(Json{{"host", "h.cloud.databricks.com"},
                                              {"http_path", "/sql/1.0/warehouses/w"},
                                              {"token", "t"},
                                              {"catalog", nullptr},
                                              {"schema", "s"}});
  EXPECT_EQ(engine->url().query_value("schema"), "s");
  EXPECT_EQ(engine->url().query_value("catalog"), std::nullopt);

  struct Bad {
    Json args;
    std::string message;
  };
  const std::vector<Bad> bad = {
      {Json{{"host", "h"}, {"http_path", "p"}, {"token", 5}},
       "create_databricks_engine() argument 'token' must be str, not int"},
      {Json{{"host", "h"}, {"http_path", "p"}, {"token", "t"}, {"catalog", 1}},
       "create_databricks_engine() argument 'catalog' must be str or None, not int"},
      {Json{{"host", "h"}},
       "create_databricks_engine() missing 2 required keyword-only arguments: 'http_path' and 'token'"},
      {Json{{"host", "h"}, {"http_path", "p"}, {"token", "t"}, {"port", 1}},
       "create_databricks_engine() got an unexpected keyword argument 'port'"},
  };
  for (const auto& b : bad) {
    try {
      create_databricks_engine(b.args);
      ADD_FAILURE() << b.args.dump();
    } catch (const base::TypeError& error) {
      EXPECT_EQ(error.what(), b.message);
    }
  }

  host::Registry registry;
  register_module(registry);
  auto operation = registry.operation("databricks.create_engine");
  ASSERT_TRUE(operation.has_value());
  Json described = (*operation)(Json{{"host", "h"}, {"http_path", "/w/1"}, {"token", "top-secret-token"}});
  EXPECT_EQ(described["drivername"], "databricks");
  EXPECT_EQ(described["pool_pre_ping"], true);
  EXPECT_EQ(described.dump().find("top-secret-token"), std::string::npos);
  EXPECT_EQ((*registry.operation("databricks.engine_cache_info"))(Json::object())["maxsize"], 256);
}

}  // namespace
}  // namespace velko::databases::databricks
