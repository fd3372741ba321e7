// `velko connections ...` and `velko tool ...` as a user runs them from a shell.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/support/pg_warehouse.h"
#include "velko/base/files.h"
#include "velko/base/json.h"
#include "velko/base/strings.h"

namespace velko {
namespace {

struct CliRun {
  std::string out;
  std::string err;
  int status = -1;
};

std::string quoted(const std::string& text) { return "'" + base::replace_all(text, "'", "'\\''") + "'"; }

class VelkoCliTest : public ::testing::Test {
 protected:
  // Runs the velko command with `args` (each quoted), feeding `input` on standard input.
  CliRun velko(const std::vector<std::string>& args, const std::string& input = "") {
    std::string command = quoted(binary_.string());
    for (const auto& arg : args) command += " " + quoted(arg);
    base::write_file_atomic(home_.path() / "stdin", input, 0600);
    command += " <" + quoted((home_.path() / "stdin").string()) + " 2>" + quoted((home_.path() / "stderr").string());
    CliRun run;
    std::tie(run.out, run.status) = testing::run_command(command);
    run.err = base::read_file(home_.path() / "stderr");
    return run;
  }
  Json stored() { return base::loads(base::read_file(home_.path() / ".velko/config.json")); }

  std::filesystem::path binary_ = std::filesystem::path(VELKO_TEST_BINARY_DIR) / "app/velko";
  testing::TempHome home_;
};

TEST_F(VelkoCliTest, ConnectionsAreAddedListedAndRemoved) {
  testing::TempDir data;
  std::filesystem::path warehouse = data.path() / "shop.db";
  testing::make_sqlite_warehouse(warehouse);
  CliRun add = velko({"connections", "add", "shop", "--type", "sqlite", "--database", warehouse.string()});
  EXPECT_EQ(add.status, 0) << add.err;
  EXPECT_EQ(add.out, "Added connection 'shop' (default)\n");
  CliRun second = velko({"connections", "add", "other", "--type", "SNOWFLAKE", "--host", "acct-1", "--username", "me",
                      "--warehouse", "WH", "--role", "R", "--password-stdin"},
                     "pw\n");
  EXPECT_EQ(second.out, "Added connection 'other'\n");
  EXPECT_EQ(stored()["connections"]["shop"], (Json{{"type", "SQLITE"}, {"database", warehouse.string()}}));
  EXPECT_EQ(stored()["connections"]["other"]["password"], "pw");  // one trailing line break dropped

  struct stat info {};
  ASSERT_EQ(::stat((home_.path() / ".velko/config.json").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  CliRun list = velko({"connections", "list"});
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out, "* shop  SQLITE  database=" + warehouse.string() +
                          "\n  other  SNOWFLAKE  host=acct-1  username=me  warehouse=WH  role=R  password=***\n");

  EXPECT_EQ(velko({"connections", "remove", "other"}).out, "Removed connection 'other'\n");
  CliRun again = velko({"connections", "remove", "other"});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.err, "velko: no connection named 'other'\n");
  EXPECT_EQ(velko({"connections", "remove", "shop"}).status, 0);
  EXPECT_EQ(velko({"connections", "list"}).out, "No connections configured.\n");
}

TEST_F(VelkoCliTest, IncompleteConnectionsAreRefusedAndNothingIsWritten) {
  CliRun unknown = velko({"connections", "add", "x", "--type", "mysql", "--host", "h"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.err,
            "velko: unknown connection type 'mysql' (one of POSTGRES, SNOWFLAKE, DATABRICKS, BIGQUERY, CLICKHOUSE, "
            "MOTHERDUCK, SQLITE, DUCKDB)\n");
  CliRun missing = velko({"connections", "add", "x", "--type", "POSTGRES", "--host", "h"});
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err, "velko: a POSTGRES connection needs --username, --password-stdin, --database\n");
  EXPECT_FALSE(std::filesystem::exists(home_.path() / ".velko/config.json"));
}

TEST_F(VelkoCliTest, ToolPrintsTheToolsTextExactly) {
  testing::TempDir data;
  std::filesystem::path warehouse = data.path() / "shop.db";
  testing::make_sqlite_warehouse(warehouse);
  ASSERT_EQ(velko({"connections", "add", "shop", "--type", "SQLITE", "--database", warehouse.string()}).status, 0);

  CliRun query = velko({"tool", "execute_sql_query", "--args", R"({"query": "SELECT count(*) AS n FROM orders"})"});
  EXPECT_EQ(query.status, 0) << query.err;
  EXPECT_EQ(query.out, R"({"headers": ["n"], "rows": [[5000]]})");
  CliRun tables = velko({"tool", "list_tables_tool", "--args", R"({"db_schema": "main"})", "--connection-id", "shop"});
  EXPECT_EQ(tables.out,
            R"({"schema": "main", "tables": ["customer_order_totals", "customers", "order_items", "orders", )"
            R"("products", "value_kinds"]})");
  // An error text is still the tool's answer.
  CliRun failed = velko({"tool", "execute_sql_query", "--args", R"({"query": "DELETE FROM orders"})"});
  EXPECT_EQ(failed.status, 0);
  EXPECT_EQ(failed.out, "Error executing query: attempt to write a readonly database");
  CliRun unknown_id = velko({"tool", "list_schemas_tool", "--connection-id", "nope"});
  EXPECT_EQ(unknown_id.out, "Error listing schemas: Connection 'nope' not found");

  // The runtime refusing the call, and options that are not JSON.
  CliRun no_tool = velko({"tool", "drop_everything", "--args", "{}"});
  EXPECT_EQ(no_tool.status, 1);
  EXPECT_TRUE(no_tool.out.starts_with("Error: drop_everything is not a valid tool")) << no_tool.out;
  CliRun bad_args = velko({"tool", "execute_sql_query", "--args", "{not json"});
  EXPECT_EQ(bad_args.status, 2);
  EXPECT_TRUE(bad_args.err.starts_with("velko: --args is not valid JSON")) << bad_args.err;
  EXPECT_EQ(bad_args.out, "");
}

TEST_F(VelkoCliTest, WebModeReadsTheHostedBackEnd) {
  testing::TempDir data;
  testing::make_sqlite_warehouse(data.path() / "shop.db");
  base::write_file_atomic(data.path() / "databases.json",
                          base::dumps({{"db-9", {{"type", "SQLITE"}, {"database", (data.path() / "shop.db").string()}}}}));
  CliRun web = velko({"--services", data.path().string(), "tool", "execute_sql_query", "--mode", "web",
                   "--connection-id", "db-9", "--tool-call-id", "call-1", "--args",
                   R"({"query": "SELECT name FROM products WHERE id = 1"})"});
  EXPECT_EQ(web.status, 0) << web.err;
  EXPECT_EQ(web.out, R"({"headers": ["name"], "rows": [["Product 1"]]})");
  CliRun no_id = velko({"--services", data.path().string(), "tool", "execute_sql_query", "--mode", "web", "--args",
                     R"({"query": "SELECT 1"})"});
  EXPECT_EQ(no_id.out, "Error: No database connection configured");
}

TEST_F(VelkoCliTest, APostgresPasswordNeverShows) {
  auto server = testing::PgServer::from_env();
  if (!server) GTEST_SKIP() << "VELKO_TEST_PG_URL is not set (scripts/pg_test_server.sh start)";
  const std::string password = server->password();
  Json config = server->database_config();
  auto add = [&](const std::string& name, const std::string& secret) {
    return velko({"connections", "add", name, "--type", "POSTGRES", "--host", config["host"], "--port", config["port"],
                  "--username", config["username"], "--database", config["database"], "--password-stdin"},
                 secret);
  };
  ASSERT_EQ(add("pg", password).status, 0);
  ASSERT_EQ(add("pg-wrong", password + "x").status, 0);
  std::vector<CliRun> runs = {
      velko({"connections", "list"}),
      velko({"tool", "execute_sql_query", "--connection-id", "pg", "--args",
             R"({"query": "SELECT count(*) AS n FROM customers"})"}),
      velko({"tool", "execute_sql_query", "--connection-id", "pg-wrong", "--args", R"({"query": "SELECT 1"})"}),
      velko({"tool", "list_schemas_tool", "--connection-id", "pg-wrong"}),
  };
  EXPECT_EQ(runs[1].out, R"({"headers": ["n"], "rows": [[1000]]})");
  EXPECT_NE(runs[2].out.find("password authentication failed"), std::string::npos) << runs[2].out;
  for (const auto& run : runs) {
    EXPECT_EQ(run.out.find(password), std::string::npos) << run.out;
    EXPECT_EQ(run.err.find(password), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace velko
