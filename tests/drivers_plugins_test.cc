// The kubernetes, databricks, clickhouse and motherduck plug-ins load through the plug-in
// loader and register what their modules offer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "velko/base/errors.h"
#include "velko/host/plugin.h"
#include "velko/host/registry.h"

namespace velko {
namespace {

using ::testing::IsSupersetOf;

TEST(EnginePluginsTest, RegisterTheBackendAndTheFactories) {
  host::Registry registry;
  host::PluginLoader loader(registry);
  for (const char* name : {"kubernetes", "databricks", "clickhouse", "motherduck"}) {
    ASSERT_NO_THROW(loader.load(name)) << name;
  }
  EXPECT_THAT(registry.backend_names(), IsSupersetOf({"kubernetes"}));
  EXPECT_THAT(registry.operation_names(), IsSupersetOf({"databricks.create_engine", "databricks.engine_cache_info",
                                                        "clickhouse.create_engine", "clickhouse.engine_cache_info",
                                                        "motherduck.create_engine", "motherduck.engine_cache_info"}));

  auto backend = (*registry.backend("kubernetes"))(Json{{"namespace", "ns"}, {"id", "pod-9"}});
  EXPECT_EQ(backend->id(), "pod-9");
  Json engine = (*registry.operation("clickhouse.create_engine"))(
      Json{{"username", "u"}, {"password", "pw-secret"}, {"host", "h"}, {"database", "d"}, {"secure", false}});
  EXPECT_EQ(engine["url"], "clickhousedb://u:***@h:8443/d?secure=false");
  EXPECT_EQ(engine["pool_pre_ping"], true);
  try {
    (*registry.operation("motherduck.create_engine"))(Json{{"token", ""}});
    ADD_FAILURE() << "an empty token must be refused";
  } catch (const base::ValueError& error) {
    EXPECT_STREQ(error.what(), "token is required for Motherduck");
  }
}

}  // namespace
}  // namespace velko
