// list_schemas_tool, list_tables_tool and get_table_columns_tool on the embedded SQLite
// warehouse.
#include <gtest/gtest.h>

#include "tests/support/pg_warehouse.h"
#include "velko/base/json.h"
#include "velko/middleware/analyst/tools.h"
#include "velko/platform/config/local_config.h"
#include "velko/platform/services/hosted_services.h"
#include "velko/platform/warehouse/warehouse.h"

namespace velko::middleware::analyst {
namespace {

host::ToolRuntime runtime_of(const Json& state) {
  host::ToolRuntime runtime;
  runtime.state = state;
  return runtime;
}

class SchemaToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::warehouse::clear_engine_cache();
    warehouse_ = home_.path() / "warehouse.db";
    testing::make_sqlite_warehouse(warehouse_);
  }
  void TearDown() override { platform::warehouse::clear_engine_cache(); }
  void add_shop() {
    platform::config::LocalConfigStore().add_connection("shop", {{"type", "SQLITE"}, {"database", warehouse_.string()}},
                                                        true);
  }
  std::string list_schemas(const Json& state = Json::object(), const std::string& mode = "cli") {
    return _list_schemas_tool_generator(mode).invoke(Json::object(), runtime_of(state));
  }
  std::string list_tables(const std::string& schema, const Json& state = Json::object(),
                          const std::string& mode = "cli") {
    return _list_tables_tool_generator(mode).invoke({{"db_schema", schema}}, runtime_of(state));
  }
  std::string columns(const std::string& schema, const std::string& tables, const Json& state = Json::object(),
                      const std::string& mode = "cli") {
    return _get_table_columns_tool_generator(mode).invoke({{"db_schema", schema}, {"table_names", tables}},
                                                          runtime_of(state));
  }

  testing::TempHome home_;
  std::filesystem::path warehouse_;
};

TEST_F(SchemaToolsTest, DescribeThemselvesExactly) {
  host::Tool schemas = _list_schemas_tool_generator();
  host::Tool tables = _list_tables_tool_generator();
  host::Tool table_columns = _get_table_columns_tool_generator();
  EXPECT_EQ(schemas.name(), "list_schemas_tool");
  EXPECT_EQ(schemas.description(),
            "List all available schemas in the database. Call this first to discover what schemas are available "
            "before listing tables.");
  EXPECT_EQ(schemas.input_schema()["properties"], Json::object());
  EXPECT_EQ(tables.name(), "list_tables_tool");
  EXPECT_EQ(tables.description(),
            "List all tables in a specific schema. You must specify a schema name. Call list_schemas() first to see "
            "available schemas.");
  EXPECT_EQ(tables.input_schema()["required"], Json::array({"db_schema"}));
  EXPECT_EQ(table_columns.name(), "get_table_columns_tool");
  EXPECT_EQ(table_columns.description(),
            "Get the columns and types for specified tables. Pass the database schema name and a comma-separated "
            "list of table names to inspect.");
  EXPECT_EQ(table_columns.input_schema()["required"], Json::array({"db_schema", "table_names"}));
}

TEST_F(SchemaToolsTest, ListSchemasAndTables) {
  add_shop();
  EXPECT_EQ(list_schemas(), R"({"schemas": ["main"]})");
  EXPECT_EQ(list_tables("main"),
            R"({"schema": "main", "tables": ["customer_order_totals", "customers", "order_items", "orders", )"
            R"("products", "value_kinds"]})");
  // White space is a schema name like any other, passed on unchanged.
  EXPECT_EQ(list_tables("  "), R"({"schema": "  ", "tables": []})");
}

TEST_F(SchemaToolsTest, DescribesTablesInTheOrderAsked) {
  add_shop();
  Json answer = base::loads(columns("main", " products , order_items,products "));
  ASSERT_EQ(answer.size(), 2u);  // each distinct name is described once
  EXPECT_EQ(answer[0]["table"], "main.products");
  EXPECT_EQ(answer[1]["table"], "main.order_items");
  EXPECT_EQ(answer[0]["columns"][1], (Json{{"name", "sku"}, {"type", "VARCHAR(20)"}, {"nullable", false}}));
  EXPECT_EQ(answer[0]["columns"][0], (Json{{"name", "id"}, {"type", "INTEGER"}, {"nullable", true}}));
  EXPECT_EQ(columns("main", "products, missing"),
            R"([{"table": "main.products", "columns": [{"name": "id", "type": "INTEGER", "nullable": true}, )"
            "{\"name\": \"sku\", \"type\": \"VARCHAR(20)\", \"nullable\": false}, "
            R"({"name": "name", "type": "TEXT", "nullable": false}, )"
            R"({"name": "category", "type": "TEXT", "nullable": false}, )"
            R"({"name": "price", "type": "REAL", "nullable": false}]}, )"
            R"({"table": "main.missing", "error": "Table 'main.missing' not found"}])");
}

// One call's catalog work is bounded: a name repeated 50,000 times is described once,
// and at most 200 distinct names are described; the rest get an entry saying so.
TEST_F(SchemaToolsTest, OneCallDescribesEachNameOnceAndAtMostTwoHundred) {
  add_shop();
  std::string repeated;
  for (int idx = 0; idx < 50000; ++idx) repeated += "products,";
  Json once = base::loads(columns("main", repeated));
  ASSERT_EQ(once.size(), 1u);
  EXPECT_EQ(once[0]["table"], "main.products");
  EXPECT_EQ(once[0]["columns"].size(), 5u);

  std::string many = "products";
  for (int idx = 0; idx < 249; ++idx) many += ", ghost_" + std::to_string(idx);
  Json bounded = base::loads(columns("main", many));
  ASSERT_EQ(bounded.size(), 250u);
  EXPECT_TRUE(bounded[0].contains("columns"));
  EXPECT_EQ(bounded[199]["error"], "Table 'main.ghost_198' not found");
  EXPECT_EQ(bounded[200]["table"], "main.ghost_199");
  EXPECT_EQ(bounded[200]["error"],
            "Not described: one call describes at most 200 tables; ask for this one in another call");
  EXPECT_EQ(bounded[249]["table"], "main.ghost_248");
  EXPECT_FALSE(bounded[249].contains("columns"));
}

TEST_F(SchemaToolsTest, RefuseMissingInputsWithTheirOwnTexts) {
  add_shop();
  EXPECT_EQ(list_tables(""), "Error: Schema name is required. Call list_schemas() first to see available schemas.");
  EXPECT_EQ(columns("", "orders"), "Error: Schema name is required");
  EXPECT_EQ(columns("main", " , ,, "), "Error: No table names provided");
}

TEST_F(SchemaToolsTest, WebModeNeedsAConnectionAndReportsEngineFailuresFirst) {
  auto services = std::make_shared<platform::services::InMemoryServices>(
      Json{{"db-1", {{"type", "SQLITE"}, {"database", warehouse_.string()}}}}, Json::object(), Json::object());
  platform::services::ScopedHostedServices scope(services);
  EXPECT_EQ(list_schemas(Json::object(), "web"), "Error: No database connection configured");
  EXPECT_EQ(list_tables("", Json::object(), "web"), "Error: No database connection configured");
  EXPECT_EQ(columns("", "", {{"connection_id", ""}}, "web"), "Error: No database connection configured");
  EXPECT_EQ(services->calls("get_database_config"), 0);

  const Json db1 = {{"connection_id", "db-1"}};
  EXPECT_EQ(list_schemas(db1, "web"), R"({"schemas": ["main"]})");
  const Json gone = {{"connection_id", "gone"}};
  EXPECT_EQ(list_schemas(gone, "web"), "Error listing schemas: Connection 'gone' not found");
  EXPECT_EQ(list_tables("main", gone, "web"), "Error listing tables: Connection 'gone' not found");
  // The engine is obtained before the table names are looked at.
  EXPECT_EQ(columns("main", " , ", gone, "web"), "Error getting table columns: Connection 'gone' not found");
}

TEST_F(SchemaToolsTest, CliModeWithoutConfigurationReportsIt) {
  EXPECT_EQ(list_schemas(), "Error listing schemas: No default database connection configured");
  EXPECT_EQ(list_tables("main", {{"connection_id", "nope"}}), "Error listing tables: Connection 'nope' not found");
}

}  // namespace
}  // namespace velko::middleware::analyst
