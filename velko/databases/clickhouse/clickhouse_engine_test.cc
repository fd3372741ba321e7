#include "velko/databases/clickhouse/clickhouse_engine.h"

#include <gtest/gtest.h>

#include "velko/base/errors.h"
#include "velko/databases/clickhouse/module.h"
#include "velko/platform/db_utils/urls.h"

namespace velko::databases::clickhouse {
namespace {

class ClickhouseEngineTest : public ::testing::Test {
 protected:
  void SetUp() override { clear_engine_cache(); }
  void TearDown() override { clear_engine_cache(); }
  static ClickhouseEngineArgs base_args() { return {"analyst", "p@ss:word", "ch.example.com", "8443", "sales", true}; }
};

TEST_F(ClickhouseEngineTest, RefusesEmptyRequiredValuesButNotAnEmptyPort) {
  for (auto blank : {&ClickhouseEngineArgs::username, &ClickhouseEngineArgs::password, &ClickhouseEngineArgs::host,
                     &ClickhouseEngineArgs::database}) {
    ClickhouseEngineArgs args = base_args();
    args.*blank = "";
    try {
      create_clickhouse_engine(args);
      ADD_FAILURE() << "an empty required value must be refused";
    } catch (const base::ValueError& error) {
      EXPECT_STREQ(error.what(), "username, password, host, database are required for ClickHouse");
    }
  }
  ClickhouseEngineArgs no_port = base_args();
  no_port.port = "";
  // The port takes no part in the check: what follows is the URL's own verdict.
  try {
    create_clickhouse_engine(no_port);
  } catch (const base::ValueError& error) {
    EXPECT_STRNE(error.what(), "username, password, host, database are required for ClickHouse");
  }
}

TEST_F(ClickhouseEngineTest, DefaultsReachTheUrlBuilder) {
  auto engine = create_clickhouse_engine(
      Json{{"username", "analyst"}, {"password", "p@ss:word"}, {"host", "ch.example.com"}, {"database", "sales"}});
  const auto& url = engine->url();
  EXPECT_EQ(url.drivername, "clickhousedb");
  EXPECT_EQ(url.username, "analyst");
  EXPECT_EQ(url.password, "p@ss:word");
  EXPECT_EQ(url.host, "ch.example.com");
  EXPECT_EQ(url.port, 8443);
  EXPECT_EQ(url.database, "sales");
  EXPECT_EQ(url.query_value("secure"), "true");
  EXPECT_TRUE(engine->options().pool_pre_ping);
  EXPECT_EQ(create_clickhouse_engine(base_args()), engine);  // the same argument values

  struct Case {
    Json port, secure;
    int expected_port;
    std::string expected_secure;
  };
  for (const auto& c : std::vector<Case>{{9440, true, 9440, "true"},
                                         {"8123", false, 8123, "false"},
                                         {"8123", 0, 8123, "false"},
                                         {"8123", "", 8123, "false"},
                                         {"8123", "no", 8123, "true"}}) {  // any non-empty text is true
    auto other = create_clickhouse_engine(Json{{"username", "u"},
                                               {"password", "p"},
                                               {"host", "h"},
                                               {"database", "d"},
                                               {"port", c.port},
                                               {"secure", c.secure}});
    EXPECT_EQ(other->url().port, c.expected_port);
    EXPECT_EQ(other->url().query_value("secure"), c.expected_secure) << c.secure.dump();
  }
}

TEST_F(ClickhouseEngineTest, WrongTypesNameTheParameter) {
  const Json base = {{"username", "u"}, {"password", "p"}, {"host", "h"}, {"database", "d"}};
  struct Bad {
    const char* name;
    Json value;
    std::string message;
  };
  for (const auto& b : std::vector<Bad>{
           {"port", 8443.0, "create_clickhouse_engine() argument 'port' must be str or int, not float"},
           {"port", nullptr, "create_clickhouse_engine() argument 'port' must be str or int, not NoneType"},
           {"database", Json::array(), "create_clickhouse_engine() argument 'database' must be str, not list"},
           {"password", true, "create_clickhouse_engine() argument 'password' must be str, not bool"}}) {
    Json args = base;
    args[b.name] = b.value;
    try {
      create_clickhouse_engine(args);
      ADD_FAILURE() << args.dump();
    } catch (const base::TypeError& error) {
      EXPECT_EQ(error.what(), b.message);
    }
  }
  host::Registry registry;
  register_module(registry);
  Json described = (*registry.operation("clickhouse.create_engine"))(base);
  EXPECT_EQ(described["url"], "clickhousedb://u:***@h:8443/d?secure=true");
}

}  // namespace
}  // namespace velko::databases::clickhouse
