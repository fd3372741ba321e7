#include "velko/platform/warehouse/warehouse.h"

#include <gtest/gtest.h>

#include "tests/support/pg_warehouse.h"
#include "velko/base/errors.h"
#include "velko/platform/config/local_config.h"
#include "velko/platform/services/hosted_services.h"

namespace velko::platform::warehouse {
namespace {

std::string error_of(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "(no error)";
}

class WarehouseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clear_engine_cache();
    warehouse_ = home_.path() / "warehouse.db";
    testing::make_sqlite_warehouse(warehouse_);
  }
  void TearDown() override { clear_engine_cache(); }
  Json sqlite_config() const { return {{"type", "SQLITE"}, {"database", warehouse_.string()}}; }

  testing::TempHome home_;
  std::filesystem::path warehouse_;
};

TEST_F(WarehouseTest, CliResolvesThroughTheLocalStoreAndSharesEngines) {
  config::LocalConfigStore store;
  store.add_connection("shop", sqlite_config(), /*make_default=*/true);
  store.add_connection("shop_again", sqlite_config(), false);

  auto by_default = get_db_engine(std::nullopt, "cli");
  auto by_empty_id = get_db_engine(std::string(), "cli");
  auto by_name = get_db_engine("shop", "cli");
  auto same_url = get_db_engine("shop_again", "cli");
  EXPECT_EQ(by_default, by_name);
  EXPECT_EQ(by_empty_id, by_name);
  EXPECT_EQ(same_url, by_name);  // cached per URL, not per name
  EXPECT_EQ(engine_cache_size(), 1u);
  EXPECT_EQ(list_schemas(*by_name), std::vector<std::string>{"main"});
}

TEST_F(WarehouseTest, RemoteWarehousesGetEnginesOfTheirOwnDrivers) {
  config::LocalConfigStore store;
  store.add_connection("ch",
                       {{"type", "CLICKHOUSE"},
                        {"host", "ch.example"},
                        {"username", "u"},
                        {"password", "Ch-Secret-77"},
                        {"database", "events"}},
                       false);
  store.add_connection(
      "dbx",
      {{"type", "DATABRICKS"}, {"host", "dbx.example"}, {"warehouse", "/sql/1.0/w/1"}, {"password", "dapi-Secret-88"}},
      false);
  store.add_connection(
      "sf",
      {{"type", "SNOWFLAKE"}, {"host", "acct"}, {"username", "u"}, {"password", "Sf-Secret-99"}, {"database", "db"}},
      false);
  for (const char* id : {"ch", "dbx", "sf"}) {
    std::shared_ptr<sql::Engine> engine;
    EXPECT_NO_THROW(engine = get_db_engine(id, "cli")) << id;
    ASSERT_NE(engine, nullptr) << id;
    EXPECT_EQ(engine->stats().opened, 0u) << id;  // nothing opened until first use
  }
  // A type the product does not know: a clear error without the password.
  store.add_connection("odd", {{"type", "ORACLE"}, {"host", "db.example"}, {"password", "Or-Secret-11"}}, false);
  std::string error = error_of([] { get_db_engine("odd", "cli")->connect().execute("SELECT 1"); });
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(error.find("Or-Secret-11"), std::string::npos) << error;
}

TEST_F(WarehouseTest, WebResolvesThroughTheHostedBackEnd) {
  auto services =
      std::make_shared<services::InMemoryServices>(Json{{"db-1", sqlite_config()}}, Json::object(), Json::object());
  services::ScopedHostedServices scope(services);
  auto engine = get_db_engine("db-1", "web");
  EXPECT_EQ(list_tables(*engine, "main").size(), 6u);
  EXPECT_EQ(services->calls("get_database_config"), 1);
}

TEST_F(WarehouseTest, UnresolvableIdentifiersGetClearErrors) {
  EXPECT_EQ(error_of([] { get_db_engine(std::nullopt, "cli"); }), "No default database connection configured");
  EXPECT_EQ(error_of([] { get_db_engine("nope", "cli"); }), "Connection 'nope' not found");
  {
    services::ScopedHostedServices empty(nullptr);
    EXPECT_NE(error_of([] { get_db_engine("db-1", "web"); }), "(no error)");
  }
  auto services = std::make_shared<services::InMemoryServices>(Json::object(), Json::object(), Json::object());
  services::ScopedHostedServices scope(services);
  EXPECT_EQ(error_of([] { get_db_engine("missing", "web"); }), "Connection 'missing' not found");
  EXPECT_EQ(error_of([] { get_db_engine(std::nullopt, "web"); }), "No database connection id given");
  EXPECT_EQ(services->calls("get_database_config"), 1);
}

TEST_F(WarehouseTest, ConfigurationErrorsNameTheProblemNotTheSecret) {
  config::LocalConfigStore store;
  store.add_connection("mysql", {{"type", "MYSQL"}, {"password", "Xy7-never-shown"}}, false);
  store.add_connection("partial", {{"type", "POSTGRES"}, {"username", "u"}, {"password", "Xy7-never-shown"}}, false);
  store.add_connection("pg",
                       {{"type", "POSTGRES"},
                        {"username", "u"},
                        {"password", "Xy7-never-shown"},
                        {"host", "127.0.0.1"},
                        {"port", "1"},
                        {"database", "d"}},
                       false);
  EXPECT_EQ(error_of([] { get_db_engine("mysql", "cli"); }), "Unsupported connection type: MYSQL");
  EXPECT_EQ(error_of([] { get_db_engine("partial", "cli"); }), "'host'");
  // Lazy: an unreachable server shows at first use, and without the password.
  auto engine = get_db_engine("pg", "cli");
  std::string unreachable = error_of([&] { list_schemas(*engine); });
  EXPECT_NE(unreachable, "(no error)");
  EXPECT_EQ(unreachable.find("Xy7-never-shown"), std::string::npos) << unreachable;
}

TEST_F(WarehouseTest, InspectionDescribesColumnsAndMissingTables) {
  config::LocalConfigStore().add_connection("shop", sqlite_config(), true);
  auto engine = get_db_engine(std::nullopt, "cli");
  Json columns = get_columns(*engine, "main", "products");
  ASSERT_EQ(columns.size(), 5u);
  EXPECT_EQ(columns[0], (Json{{"name", "id"}, {"type", "INTEGER"}, {"nullable", true}}));
  EXPECT_EQ(columns[1], (Json{{"name", "sku"}, {"type", "VARCHAR(20)"}, {"nullable", false}}));
  EXPECT_EQ(error_of([&] { get_columns(*engine, "main", "ghosts"); }), "Table 'main.ghosts' not found");
}

TEST_F(WarehouseTest, KeepsTheMostRecentlyUsedEngines) {
  auto services = std::make_shared<services::InMemoryServices>(
      [&] {
        Json databases = Json::object();
        for (size_t idx = 0; idx <= ENGINE_CACHE_SIZE; ++idx) {
          databases["db-" + std::to_string(idx)] = {{"type", "SQLITE"}, {"database", "/tmp/w" + std::to_string(idx)}};
        }
        return databases;
      }(),
      Json::object(), Json::object());
  services::ScopedHostedServices scope(services);
  auto first = get_db_engine("db-0", "web");
  auto second = get_db_engine("db-1", "web");
  for (size_t idx = 2; idx < ENGINE_CACHE_SIZE; ++idx) get_db_engine("db-" + std::to_string(idx), "web");
  EXPECT_EQ(get_db_engine("db-0", "web"), first);  // used again: now the most recent
  get_db_engine("db-" + std::to_string(ENGINE_CACHE_SIZE), "web");
  EXPECT_EQ(engine_cache_size(), ENGINE_CACHE_SIZE);
  EXPECT_EQ(get_db_engine("db-0", "web"), first);
  EXPECT_NE(get_db_engine("db-1", "web"), second);  // the least recently used was dropped
}

}  // namespace
}  // namespace velko::platform::warehouse
