// The DuckDB driver on real files and folders made by the test (with DuckDB itself):
// a folder of Parquet, CSV and JSON files as views, a database file opened read-only,
// typed values, the row cap on a streamed result, every refusal (writes, COPY, ATTACH,
// INSTALL/LOAD, SET, PRAGMA, EXPORT, files outside the folder), the time-out and
// cancellation by interrupt, MotherDuck without network, and the tools through velko.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/support/velko_cli.h"
#include "velko/base/errors.h"
#include "velko/base/files.h"
#include "velko/databases/motherduck/motherduck_engine.h"
#include "velko/platform/db_utils/urls.h"
#include "velko/platform/sql/url.h"
#include "velko/platform/sql/value_bounds.h"
#include "velko/platform/sql_remote/drivers.h"

#ifdef VELKO_HAVE_DUCKDB
#include <duckdb.h>
#endif

namespace velko {
namespace {

using platform::sql::ExecuteOptions;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

#ifdef VELKO_HAVE_DUCKDB

// Runs `sql` on a writable DuckDB (the test's own, not the driver) to make fixtures.
void duckdb_run(const std::string& path, const std::string& sql) {
  duckdb_database database = nullptr;
  duckdb_connection connection = nullptr;
  ASSERT_EQ(duckdb_open(path.empty() ? nullptr : path.c_str(), &database), DuckDBSuccess);
  ASSERT_EQ(duckdb_connect(database, &connection), DuckDBSuccess);
  duckdb_result result;
  bool ok = duckdb_query(connection, sql.c_str(), &result) == DuckDBSuccess;
  std::string error = ok ? "" : duckdb_result_error(&result);
  duckdb_destroy_result(&result);
  duckdb_disconnect(&connection);
  duckdb_close(&database);
  ASSERT_TRUE(ok) << error;
}

class DuckdbDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    driver_ = platform::sql_remote::make_duckdb_driver();
    folder_ = data_.path() / "lake";
    fs::create_directories(folder_ / "sub");
    base::write_file_atomic(
        folder_ / "orders.csv",
        "id,customer_id,amount,placed\n1,10,12.50,2024-01-15\n2,11,3.25,2024-02-01\n3,10,7.00,2024-03-09\n", 0644);
    base::write_file_atomic(folder_ / "events.json",
                            "[{\"kind\": \"click\", \"n\": 3}, {\"kind\": \"view\", \"n\": 5}]", 0644);
    base::write_file_atomic(folder_ / "notes.txt", "not data", 0644);
    base::write_file_atomic(folder_ / "sub" / "inner.csv", "a\n1\n", 0644);
    base::write_file_atomic(data_.path() / "outside.csv", "secret\nOUTSIDE-ROW\n", 0644);
    fs::create_symlink(data_.path() / "outside.csv", folder_ / "linked.csv");
    duckdb_run("", "COPY (SELECT * FROM (VALUES (10, 'Ada'), (11, 'Grace')) AS t(id, name)) TO '" +
                       (folder_ / "customers.parquet").string() + "' (FORMAT parquet)");
    file_ = data_.path() / "shop.duckdb";
    duckdb_run(file_.string(),
               "CREATE TYPE mood AS ENUM ('sad', 'happy');"
               "CREATE TABLE kinds (i INTEGER, big HUGEINT, small_big HUGEINT, d DOUBLE, b BOOLEAN, s VARCHAR, "
               "dec DECIMAL(10,2), day DATE, t TIME, ts TIMESTAMP, tstz TIMESTAMPTZ, iv INTERVAL, u UUID, bl BLOB, "
               "l INTEGER[], st STRUCT(a INTEGER, b VARCHAR), m MAP(VARCHAR, INTEGER), j JSON, e mood, n INTEGER);"
               "SET TimeZone = 'UTC';"
               "INSERT INTO kinds VALUES (7, 170141183460469231731687303715884105727, 42, 2.5, true, 'caf\xc3\xa9', "
               "12.30, DATE '2024-01-15', TIME '10:30:00.123456', TIMESTAMP '2024-01-15 10:30:00', "
               "TIMESTAMPTZ '2024-01-15 10:30:00+00', INTERVAL '1 day 2 hours', "
               "'12345678-1234-5678-1234-567812345678', '\\x00\\xFFA'::BLOB, [1, 2, NULL], {'a': 1, 'b': 'x'}, "
               "MAP {'k': 1}, '{\"k\": [1, 2]}', 'happy', NULL);"
               "CREATE SCHEMA sales; CREATE TABLE sales.orders (id INTEGER NOT NULL, note VARCHAR);"
               "INSERT INTO sales.orders SELECT range, 'n' || range FROM range(5000);");
  }

  std::unique_ptr<platform::sql::DriverConnection> open(const fs::path& path) {
    return driver_->connect(platform::sql::make_url(platform::db_utils::build_duckdb_url(path.string())));
  }

  testing::TempDir data_;
  fs::path folder_;
  fs::path file_;
  std::shared_ptr<platform::sql::Driver> driver_;
};

TEST_F(DuckdbDriverTest, AFolderOfDataFilesIsOneViewPerFile) {
  auto connection = open(folder_);
  EXPECT_EQ(connection->list_schemas({}), std::vector<std::string>({"main"}));
  // Text files, sub-folders and links are left out.
  EXPECT_EQ(connection->list_tables("main", {}), std::vector<std::string>({"customers", "events", "orders"}));
  auto columns = connection->get_columns("main", "orders", {});
  ASSERT_EQ(columns.size(), 4u);
  EXPECT_EQ(columns[0].name, "id");
  EXPECT_EQ(columns[0].type, "BIGINT");
  EXPECT_EQ(columns[3].type, "DATE");
  EXPECT_THROW(connection->get_columns("main", "nope", {}), base::DatabaseError);

  platform::sql::Result result = connection->execute(
      "SELECT c.name, sum(o.amount) AS total, min(o.placed) AS first FROM orders o JOIN customers c "
      "ON c.id = o.customer_id GROUP BY c.name ORDER BY c.name",
      ExecuteOptions{.max_rows = 50});
  ASSERT_EQ(result.fetchall().size(), 2u);
  EXPECT_EQ(result.keys(), std::vector<std::string>({"name", "total", "first"}));
  EXPECT_EQ(result.fetchall()[0], (platform::sql::Row{"Ada", 19.5, "2024-01-15"}));
  EXPECT_EQ(connection->execute("SELECT sum(n) FROM events", {}).fetchall()[0][0], Json(8));
  // Files in the folder can be read directly too.
  EXPECT_EQ(connection->execute("SELECT count(*) FROM read_csv('" + (folder_ / "sub/inner.csv").string() + "')", {})
                .fetchall()[0][0],
            Json(1));
}

TEST_F(DuckdbDriverTest, ADatabaseFileIsReadOnlyAndItsValuesAreTyped) {
  auto connection = open(file_);
  EXPECT_EQ(connection->list_schemas({}), std::vector<std::string>({"main", "sales"}));
  EXPECT_EQ(connection->list_tables("sales", {}), std::vector<std::string>({"orders"}));
  auto columns = connection->get_columns("sales", "orders", {});
  ASSERT_EQ(columns.size(), 2u);
  EXPECT_EQ(columns[0].type, "INTEGER");
  EXPECT_FALSE(columns[0].nullable);
  EXPECT_TRUE(columns[1].nullable);

  platform::sql::Result result = connection->execute("SELECT * FROM kinds", {});
  ASSERT_EQ(result.fetchall().size(), 1u);
  const auto& row = result.fetchall()[0];
  EXPECT_EQ(row[0], 7);
  EXPECT_EQ(row[1], "170141183460469231731687303715884105727");
  EXPECT_EQ(row[2], 42);
  EXPECT_EQ(row[3], 2.5);
  EXPECT_EQ(row[4], true);
  EXPECT_EQ(row[5], "caf\xc3\xa9");
  EXPECT_EQ(row[6], "12.30");
  EXPECT_EQ(row[7], "2024-01-15");
  EXPECT_EQ(row[8], "10:30:00.123456");
  EXPECT_EQ(row[9], "2024-01-15 10:30:00");
  EXPECT_EQ(row[10], "2024-01-15 10:30:00+00:00");
  EXPECT_EQ(row[11], "1 day, 2:00:00");
  EXPECT_EQ(row[12], "12345678-1234-5678-1234-567812345678");
  EXPECT_EQ(row[13], "b'\\x00\\xffA'");
  EXPECT_EQ(row[14], Json::array({1, 2, nullptr}));
  EXPECT_EQ(row[15], (Json{{"a", 1}, {"b", "x"}}));
  EXPECT_EQ(row[16], (Json{{"k", 1}}));
  EXPECT_EQ(row[17], (Json{{"k", {1, 2}}}));
  EXPECT_EQ(row[18], "happy");
  EXPECT_TRUE(row[19].is_null());
}

TEST_F(DuckdbDriverTest, EveryWriteAndEveryEscapeIsRefused) {
  for (const fs::path& target : {folder_, file_}) {
    auto connection = open(target);
    std::string inside = (folder_ / "written.csv").string();
    for (const std::string& sql :
         std::vector<std::string>{"INSERT INTO sales.orders VALUES (1, 'x')",
                                  "UPDATE sales.orders SET note = 'x'",
                                  "DELETE FROM kinds",
                                  "CREATE TABLE t (a INTEGER)",
                                  "DROP TABLE kinds",
                                  "CREATE VIEW v AS SELECT 1",
                                  "COPY (SELECT 1) TO '" + inside + "'",
                                  "ATTACH '" + (folder_ / "other.db").string() + "' AS other",
                                  "INSTALL httpfs",
                                  "LOAD httpfs",
                                  "SET enable_external_access = true",
                                  "RESET lock_configuration",
                                  "PRAGMA enable_profiling",
                                  "EXPORT DATABASE '" + (folder_ / "export").string() + "'",
                                  "CALL pragma_version()",
                                  "CHECKPOINT",
                                  "BEGIN TRANSACTION",
                                  "SELECT 1; SELECT 2",
                                  "EXPLAIN ANALYZE COPY (SELECT 1) TO '" + inside + "'",
                                  "EXPLAIN ANALYZE CREATE TABLE t AS SELECT 1",
                                  "SELECT * FROM read_csv('/etc/passwd')",
                                  "SELECT * FROM read_text('/etc/hostname')",
                                  "SELECT * FROM glob('/etc/*')",
                                  "SELECT * FROM read_csv('" + (folder_ / "../../outside.csv").string() + "')",
                                  "SELECT * FROM query('COPY (SELECT 1) TO ''" + inside + "''')",
                                  "SELECT * FROM read_parquet('https://example.com/x.parquet')",
                                  ""}) {
      try {
        platform::sql::Result result = connection->execute(sql, {});
        ADD_FAILURE() << "ran: " << sql;
      } catch (const base::DatabaseError& error) {
        EXPECT_THAT(error.what(), Not(HasSubstr("OUTSIDE-ROW"))) << sql;
      }
    }
    EXPECT_FALSE(fs::exists(inside));
    EXPECT_FALSE(fs::exists(folder_ / "other.db"));
    EXPECT_FALSE(fs::exists(folder_ / "export"));  // EXPORT is refused before DuckDB binds it
    if (target == folder_) {
      // The folder's parent is outside: its file stays unread (a file's own folder is allowed).
      for (const std::string& sql : {"SELECT * FROM read_text('" + (data_.path() / "outside.csv").string() + "')",
                                     "SELECT * FROM read_csv('" + (folder_ / "../outside.csv").string() + "')"}) {
        EXPECT_THROW(connection->execute(sql, {}), base::DatabaseError) << sql;
      }
    }
    // What reads is allowed, EXPLAIN of a SELECT included.
    EXPECT_NO_THROW(connection->execute("EXPLAIN SELECT 42", {}));
    EXPECT_NO_THROW(connection->execute("EXPLAIN ANALYZE SELECT 42", {}));
    EXPECT_EQ(connection->execute("SELECT 42 AS x;", {}).fetchall()[0][0], 42);
  }
  EXPECT_EQ(open(file_)->execute("SELECT count(*) FROM sales.orders", {}).fetchall()[0][0], 5000);
}

TEST_F(DuckdbDriverTest, RowsAreStreamedUpToTheCap) {
  auto connection = open(folder_);
  auto started = std::chrono::steady_clock::now();
  platform::sql::Result result = connection->execute("SELECT range AS n FROM range(1000000000)", {.max_rows = 50});
  EXPECT_EQ(result.fetchall().size(), 50u);
  EXPECT_EQ(result.fetchall()[49][0], 49);
  EXPECT_TRUE(result.truncated());
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));  // never the billion rows
  platform::sql::Result exact = connection->execute("SELECT range FROM range(50)", {.max_rows = 50});
  EXPECT_EQ(exact.fetchall().size(), 50u);
  EXPECT_FALSE(exact.truncated());
}

// Read with a value bound, a nested value of any size shows exactly as the whole value
// cut to that bound would, count of dropped characters included, and short ones are kept
// whole; a list of millions of items is not held whole to be shown.
TEST_F(DuckdbDriverTest, LongNestedValuesShowAsTheirWholeValueCut) {
  auto connection = open(folder_);
  const char* queries[] = {
      "SELECT list(i) AS l, [[1, 2], [3]] AS short FROM range(30000) t(i)",
      "SELECT list([i, NULL]) AS l FROM range(30000) t(i)",
      "SELECT list('\xc3\xa9' || i::VARCHAR) AS l FROM range(30000) t(i)",
      "SELECT {'k': list(i), 'z': 'end'} AS s FROM range(30000) t(i)",
      "SELECT map(list(i::VARCHAR), list(i / 7.0)) AS m FROM range(20000) t(i)",
      "SELECT list(i) AS l FROM range(21845) t(i)",  // near the bound: 65,533 characters
      "SELECT list(i) AS l FROM range(21846) t(i)",
  };
  for (const char* sql : queries) {
    platform::sql::Result whole = connection->execute(sql, {});
    platform::sql::Result shown = connection->execute(sql, {.max_value_bytes = platform::sql::MAX_VALUE_BYTES});
    ASSERT_EQ(shown.fetchall().size(), 1u) << sql;
    for (size_t column = 0; column < whole.fetchall()[0].size(); ++column) {
      EXPECT_EQ(platform::sql::bounded_value(shown.fetchall()[0][column]),
                platform::sql::bounded_value(whole.fetchall()[0][column]))
          << sql;
    }
  }
  platform::sql::Result huge = connection->execute("SELECT list(i) AS l FROM range(1000000) t(i)",
                                                   {.max_value_bytes = platform::sql::MAX_VALUE_BYTES});
  const Json& value = huge.fetchall()[0][0];
  ASSERT_TRUE(value.is_string());
  EXPECT_THAT(value.get<std::string>(), HasSubstr("\xe2\x80\xa6 [7823354 more characters]"));
}

TEST_F(DuckdbDriverTest, TimeOutAndCancellationInterruptTheStatement) {
  auto connection = open(file_);
  const char* runaway = "SELECT count(*) FROM range(1000000000000) a WHERE a.range % 7 = 3";
  auto started = std::chrono::steady_clock::now();
  try {
    connection->execute(runaway, ExecuteOptions{.timeout = std::chrono::milliseconds(300)});
    ADD_FAILURE() << "the statement must time out";
  } catch (const base::TimeoutError& error) {
    EXPECT_THAT(error.what(), HasSubstr("timed out after 0.3 seconds"));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(connection->execute("SELECT 1", {}).fetchall()[0][0], 1);  // usable afterwards

  auto signal = std::make_shared<base::CancelSignal>();
  std::thread canceller([signal] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    signal->cancel();
  });
  EXPECT_THROW(connection->execute(runaway, ExecuteOptions{.cancel = signal}), base::CancelledError);
  canceller.join();
  EXPECT_EQ(connection->execute("SELECT 2", {}).fetchall()[0][0], 2);
}

TEST_F(DuckdbDriverTest, MissingPathsAndMotherduckWithoutNetworkSaySoWithoutTheToken) {
  try {
    open(data_.path() / "nope.duckdb");
    ADD_FAILURE();
  } catch (const base::DatabaseError& error) {
    EXPECT_THAT(error.what(), HasSubstr("No DuckDB database file or folder"));
  }
  const std::string token = "md-SECRET-token-93b1";
  databases::motherduck::clear_engine_cache();
  auto engine = databases::motherduck::create_motherduck_engine({.token = token, .database = "analytics"});
  try {
    engine->connect();
    ADD_FAILURE() << "MotherDuck cannot be reached here";
  } catch (const base::DatabaseError& error) {
    EXPECT_THAT(error.what(), HasSubstr("MotherDuck extension could not be installed or loaded"));
    EXPECT_THAT(error.what(), Not(HasSubstr(token)));
  }
}

TEST_F(DuckdbDriverTest, TheToolsAnswerThroughTheVelkoCommand) {
  testing::VelkoCli velko;
  ASSERT_EQ(velko.run({"connections", "add", "lake", "--type", "DUCKDB", "--database", folder_.string()}).status, 0);
  ASSERT_EQ(velko.run({"connections", "add", "shop", "--type", "duckdb", "--database", file_.string()}).status, 0);
  EXPECT_EQ(velko.run({"tool", "list_schemas_tool"}).out, R"({"schemas": ["main"]})");
  EXPECT_EQ(velko.run({"tool", "list_tables_tool", "--args", R"({"db_schema": "main"})"}).out,
            R"({"schema": "main", "tables": ["customers", "events", "orders"]})");
  EXPECT_THAT(
      velko.run({"tool", "get_table_columns_tool", "--args", R"({"db_schema": "main", "table_names": "customers"})"})
          .out,
      HasSubstr("\"name\""));
  EXPECT_EQ(
      velko.run({"tool", "execute_sql_query", "--args", R"({"query": "SELECT name FROM customers ORDER BY id"})"}).out,
      R"({"headers": ["name"], "rows": [["Ada"], ["Grace"]]})");
  testing::CliOutput refused =
      velko.run({"tool", "execute_sql_query", "--args", R"x({"query": "SELECT * FROM read_csv('/etc/passwd')"})x"});
  EXPECT_THAT(refused.out, HasSubstr("Error executing query:"));
  EXPECT_THAT(refused.out, Not(HasSubstr("root:")));
  testing::CliOutput capped = velko.run(
      {"tool", "execute_sql_query", "--connection-id", "shop", "--args", R"({"query": "SELECT * FROM sales.orders"})"});
  EXPECT_EQ(base::loads(capped.out)["rows"].size(), 50u);
  EXPECT_EQ(velko.run({"tool", "list_schemas_tool", "--connection-id", "shop"}).out,
            R"({"schemas": ["main", "sales"]})");
  // The prompt names the dialect.
  EXPECT_THAT(velko.run({"prompt", "--mode", "cli"}).out, HasSubstr("SQL dialect: **DuckDB SQL**"));
}

#else

TEST(DuckdbDriverTest, ABuildWithoutDuckdbSaysWhatIsMissing) {
  auto driver = platform::sql_remote::make_duckdb_driver();
  try {
    driver->connect(platform::sql::make_url("duckdb:////tmp/x.duckdb"));
    ADD_FAILURE();
  } catch (const base::DatabaseError& error) {
    EXPECT_STREQ(error.what(), platform::sql_remote::DUCKDB_NOT_IN_BUILD);
  }
}

#endif

}  // namespace
}  // namespace velko
