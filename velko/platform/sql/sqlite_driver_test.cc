// The SQLite driver through the engine, on the seeded embedded warehouse.
#include <gtest/gtest.h>

#include "tests/support/pg_warehouse.h"
#include "velko/base/errors.h"
#include "velko/base/json.h"
#include "velko/platform/db_utils/urls.h"
#include "velko/platform/sql/engine.h"

namespace velko::platform::sql {
namespace {

class SqliteDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.path() / "warehouse.db";
    testing::make_sqlite_warehouse(path_);
    engine_ = create_engine(db_utils::build_sqlite_url(path_.string()));
  }
  std::string count(const std::string& table) { return testing::sqlite_scalar(path_, "SELECT count(*) FROM " + table); }

  testing::TempDir dir_;
  std::filesystem::path path_;
  std::shared_ptr<Engine> engine_;
};

TEST_F(SqliteDriverTest, RowsKeepTheirKinds) {
  Result result = engine_->connect().execute("SELECT * FROM value_kinds ORDER BY id");
  EXPECT_EQ(result.keys(), (std::vector<std::string>{"id", "k_integer", "k_real", "k_text", "k_blob", "k_untyped"}));
  EXPECT_EQ(base::dumps(Json(result.fetchall())),
            "[[1, 9007199254740993, 0.1, \"Gr\\u00fc\\u00dfe, \\u4e16\\u754c \\ud83c\\udf89\", \"b'\\\\x00\\\\xffA'\", "
            "\"2024-01-15\"], "
            "[2, -9223372036854775808, 1e+300, \"bad-\\ufffd\", \"b''\", 12.5], "
            "[3, null, null, null, null, null]]");
}

TEST_F(SqliteDriverTest, WritesFailAndChangeNothing) {
  const std::string customers = count("customers");
  for (const std::string& statement : std::vector<std::string>{
           "INSERT INTO customers (id, name, email, country, signup_date, is_active) VALUES (5000, 'x', 'x', 'US', "
           "'2024-01-01', 1)",
           "UPDATE customers SET name = 'changed'", "DELETE FROM customers", "DROP TABLE customers",
           "CREATE TABLE extra (id INTEGER)", "PRAGMA query_only = OFF", "ATTACH DATABASE ':memory:' AS scratch",
           "WITH doomed AS (SELECT 1) DELETE FROM customers", "VACUUM"}) {
    SCOPED_TRACE(statement);
    Connection connection = engine_->connect();
    EXPECT_THROW(connection.execute(statement), base::DatabaseError);
    // A COMMIT first changes nothing: the next statement is read-only as well.
    connection.execute("COMMIT");
    EXPECT_THROW(connection.execute(statement), base::DatabaseError);
  }
  EXPECT_EQ(count("customers"), customers);
  EXPECT_EQ(testing::sqlite_scalar(path_, "SELECT count(*) FROM customers WHERE name = 'changed'"), "0");
  EXPECT_EQ(testing::sqlite_scalar(path_, "SELECT count(*) FROM sqlite_schema WHERE name = 'extra'"), "0");
}

TEST_F(SqliteDriverTest, RunsOneStatementPerCall) {
  const std::string orders = count("orders");
  for (const std::string& text : std::vector<std::string>{"SELECT 1; DELETE FROM orders", "COMMIT; DROP TABLE orders",
                                                          "SELECT 1;\n-- note\nSELECT 2", "SELECT 1; ; SELECT 2"}) {
    SCOPED_TRACE(text);
    try {
      engine_->connect().execute(text);
      FAIL() << "ran";
    } catch (const base::DatabaseError& error) {
      EXPECT_EQ(std::string(error.what()), "You can only execute one statement at a time.");
    }
  }
  EXPECT_EQ(count("orders"), orders);
  for (const std::string& text :
       std::vector<std::string>{"SELECT 7;", "SELECT 7; -- trailing note", "SELECT 7;;\n  ;"}) {
    EXPECT_EQ(engine_->connect().execute(text).fetchall().at(0).at(0), 7) << text;
  }
}

TEST_F(SqliteDriverTest, StopsReadingAtTheRowCap) {
  Result capped = engine_->connect().execute("SELECT id FROM orders ORDER BY id", {.max_rows = 50});
  ASSERT_EQ(capped.fetchall().size(), 50u);
  EXPECT_TRUE(capped.truncated());
  EXPECT_EQ(capped.fetchall().back().at(0), 50);
  // Stepping stops: a statement of ten million rows comes back with its first 50.
  Result endless = engine_->connect().execute(
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10000000) SELECT i FROM n",
      {.max_rows = 50});
  EXPECT_EQ(endless.fetchall().size(), 50u);
  EXPECT_TRUE(endless.truncated());
  Result small = engine_->connect().execute("SELECT id FROM products WHERE id <= 3", {.max_rows = 50});
  EXPECT_EQ(small.fetchall().size(), 3u);
  EXPECT_FALSE(small.truncated());
}

TEST_F(SqliteDriverTest, BadInputGetsAClearError) {
  Connection connection = engine_->connect();
  for (const std::string& text : std::vector<std::string>{"", "   \n\t", "-- only a comment", ";"}) {
    try {
      connection.execute(text);
      FAIL() << "ran '" << text << "'";
    } catch (const base::DatabaseError& error) {
      EXPECT_EQ(std::string(error.what()), "can't execute an empty query");
    }
  }
  EXPECT_THROW(connection.execute("SELEC * FROM orders"), base::DatabaseError);
  // Invalid UTF-8 in the text runs, and comes back as it was stored.
  Result bad_bytes = connection.execute("SELECT 'x\xff\xfey'");
  EXPECT_EQ(bad_bytes.fetchall().at(0).at(0), "x\xff\xfey");
  EXPECT_EQ(base::dumps(Json(bad_bytes.fetchall())), "[[\"x\\ufffd\\ufffdy\"]]");
  std::string huge = "SELECT '" + std::string(1 << 20, 'a') + "' AS big";
  EXPECT_EQ(connection.execute(huge).fetchall().at(0).at(0).get<std::string>().size(), 1u << 20);
  Result none = connection.execute("SELECT 1 AS one WHERE 0");
  EXPECT_TRUE(none.returns_rows());
  EXPECT_EQ(none.keys(), std::vector<std::string>{"one"});
  EXPECT_TRUE(none.fetchall().empty());
}

TEST_F(SqliteDriverTest, StatementsWithoutRowsSayso) {
  Result result = engine_->connect().execute("COMMIT");
  EXPECT_FALSE(result.returns_rows());
  EXPECT_TRUE(result.keys().empty());
  try {
    result.fetchall();
    FAIL() << "rows";
  } catch (const base::RuntimeError& error) {
    EXPECT_EQ(std::string(error.what()), "This result object does not return rows. It has been closed automatically.");
  }
}

TEST_F(SqliteDriverTest, InspectsSchemasTablesAndColumns) {
  Connection connection = engine_->connect();
  EXPECT_EQ(connection.list_schemas(), std::vector<std::string>{"main"});
  EXPECT_EQ(connection.list_tables("main"),
            (std::vector<std::string>{"customer_order_totals", "customers", "order_items", "orders", "products",
                                      "value_kinds"}));
  EXPECT_TRUE(connection.list_tables("elsewhere").empty());
  std::vector<ColumnInfo> columns = connection.get_columns("main", "customers");
  ASSERT_EQ(columns.size(), 7u);
  EXPECT_EQ(columns[0].name, "id");
  EXPECT_EQ(columns[0].type, "INTEGER");
  EXPECT_EQ(columns[2].type, "VARCHAR(120)");
  EXPECT_FALSE(columns[2].nullable);
  EXPECT_EQ(columns[6].type, "NUMERIC(12, 2)");
  EXPECT_TRUE(columns[6].nullable);
  EXPECT_EQ(connection.get_columns("main", "value_kinds").back().type, "NULL");  // no declared type
  EXPECT_EQ(connection.get_columns("main", "customer_order_totals").size(), 4u);
  try {
    connection.get_columns("main", "missing");
    FAIL() << "described";
  } catch (const base::DatabaseError& error) {
    EXPECT_EQ(std::string(error.what()), "Table 'main.missing' not found");
  }
}

TEST(SqliteDriver, AMissingOrForeignFileIsAClearError) {
  testing::TempDir dir;
  auto missing = create_engine(db_utils::build_sqlite_url((dir.path() / "absent.db").string()));
  try {
    missing->connect();
    FAIL() << "opened";
  } catch (const base::DatabaseError& error) {
    EXPECT_EQ(std::string(error.what()), "unable to open database file: " + (dir.path() / "absent.db").string());
  }
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "absent.db"));  // nothing was created
  base::write_file_atomic(dir.path() / "notes.db", "these are not the pages of a database, just text", 0600);
  auto foreign = create_engine(db_utils::build_sqlite_url((dir.path() / "notes.db").string()));
  EXPECT_THROW(foreign->connect(), base::DatabaseError);
}

}  // namespace
}  // namespace velko::platform::sql
