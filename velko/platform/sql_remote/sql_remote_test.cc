#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "velko/base/errors.h"
#include "velko/platform/sql_remote/clickhouse_driver.h"
#include "velko/platform/sql_remote/databricks_driver.h"
#include "velko/platform/sql_remote/remote_common.h"
#include "velko/platform/sql_remote/statement_text.h"

namespace velko::platform::sql_remote {
namespace {

using ::testing::ElementsAre;

std::string error_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const base::DatabaseError& error) {
    return error.what();
  }
  return "";
}

TEST(StatementTextTest, OneStatementPerCall) {
  struct Case {
    std::string sql, expected, error;
  };
  const std::vector<Case> cases = {
      {"SELECT 1", "SELECT 1", ""},
      {"SELECT 1;", "SELECT 1", ""},
      {"SELECT 1 ; ;  -- done\n", "SELECT 1 ", ""},
      {"SELECT ';' AS s, \"a;b\", `c;d` -- x;y\n FROM t /* ; */",
       "SELECT ';' AS s, \"a;b\", `c;d` -- x;y\n FROM t /* ; */", ""},
      {"SELECT 'it\\'s;'", "SELECT 'it\\'s;'", ""},
      {"SELECT 1; SELECT 2", "", ONE_STATEMENT_ONLY},
      {"SELECT 1;\nDROP TABLE t;", "", ONE_STATEMENT_ONLY},
      {"", "", EMPTY_STATEMENT},
      {" ; -- only a comment", "", EMPTY_STATEMENT},
      {"SELECT 'unterminated; DROP", "SELECT 'unterminated; DROP", ""},  // left to the server
  };
  for (const auto& c : cases) {
    std::string got;
    std::string error = error_of([&] { got = single_statement(c.sql); });
    EXPECT_EQ(error, c.error) << c.sql;
    if (c.error.empty()) {
      EXPECT_EQ(got, c.expected) << c.sql;
    }
  }
}

TEST(StatementTextTest, OnlyReadsAreAllowedWhereTheServiceHasNoReadOnlyMode) {
  for (const char* reads :
       {"SELECT 1", "  with x as (select 1) select * from x", "(SELECT 1) UNION (SELECT 2)", "VALUES (1)", "TABLE t",
        "SHOW TABLES IN s", "DESCRIBE TABLE t", "DESC t", "EXPLAIN SELECT 1", "SHOW CREATE TABLE t",
        "SELECT replace(a, 'x', 'y') FROM t", "SELECT t.delete, t.update FROM t", "SELECT 'INSERT INTO t' AS text",
        "FROM t SELECT a", "LIST '/Volumes/x'"}) {
    EXPECT_EQ(error_of([&] { ensure_read_only(reads); }), "") << reads;
  }
  for (const char* writes : {"INSERT INTO t VALUES (1)", "UPDATE t SET a = 1", "DELETE FROM t", "DROP TABLE t",
                             "CREATE TABLE t AS SELECT 1", "MERGE INTO t USING s ON t.a = s.a WHEN MATCHED THEN DELETE",
                             "WITH x AS (SELECT 1) INSERT INTO t SELECT * FROM x", "FROM s INSERT INTO t SELECT *",
                             "EXPLAIN INSERT INTO t VALUES (1)", "SET spark.x = 1", "USE CATALOG main", "OPTIMIZE t",
                             "GRANT SELECT ON t TO u", "'not even a statement'", "SELECT 'open"}) {
    EXPECT_THAT(error_of([&] { ensure_read_only(writes); }), ::testing::StartsWith("Only statements that read"))
        << writes;
  }
}

TEST(RemoteValuesTest, TimestampsPrintLikeTheRuntimesDatetime) {
  struct Case {
    const char *in, *out;
  };
  for (const auto& c : std::vector<Case>{{"2024-01-15 10:30:00", "2024-01-15 10:30:00"},
                                         {"2024-01-15T10:30:00.5", "2024-01-15 10:30:00.500000"},
                                         {"2024-01-15 10:30:00.000", "2024-01-15 10:30:00"},
                                         {"2024-01-15 10:30:00.123456789", "2024-01-15 10:30:00.123456"},
                                         {"2024-01-15T10:30:00Z", "2024-01-15 10:30:00+00:00"},
                                         {"2024-01-15T10:30:00.1+05:30", "2024-01-15 10:30:00.100000+05:30"},
                                         {"not a time", "not a time"},
                                         {"2024-01-15", "2024-01-15"}}) {
    EXPECT_EQ(timestamp_text(c.in), c.out) << c.in;
  }
  EXPECT_THAT(type_arguments("Enum8('a,b' = 1, 'c)' = 2)"), ElementsAre("Enum8('a,b' = 1, 'c)' = 2)"));
  EXPECT_THAT(type_arguments("String, Array(Map(String, Int8)), Tuple(a Int8, b String)"),
              ElementsAre("String", "Array(Map(String, Int8))", "Tuple(a Int8, b String)"));
  EXPECT_EQ(integer_value("18446744073709551615")->get<uint64_t>(), 18446744073709551615ULL);
  EXPECT_FALSE(integer_value("18446744073709551616").has_value());
  EXPECT_FALSE(integer_value("1.0").has_value());
  EXPECT_TRUE(std::isinf(*float_value("-Infinity")));
  EXPECT_FALSE(float_value("12abc").has_value());
  EXPECT_EQ(message_text(std::string("a\x01\x1b[31mb\n") + std::string(3000, 'x'), 10), "a[31mb\nxxx...");
}

TEST(ClickhouseRowsTest, StopsConvertingAtTheCapAndReportsBrokenBodies) {
  std::string body = "[\"n\"]\n[\"UInt64\"]\n[1]\n[2]\n[3]\n";
  sql::Result capped = parse_clickhouse_rows(body, 2);
  EXPECT_EQ(capped.fetchall().size(), 2u);
  EXPECT_TRUE(capped.truncated());
  sql::Result exact = parse_clickhouse_rows(body, 3);
  EXPECT_FALSE(exact.truncated());
  // Lines past the cap are not even parsed, but an exception after them still counts.
  EXPECT_TRUE(parse_clickhouse_rows(body + "not json at all\n", 2).truncated());
  EXPECT_THAT(error_of([&] { parse_clickhouse_rows(body + "Code: 241. DB::Exception: Memory limit\n", 2); }),
              ::testing::StartsWith("Code: 241."));
  EXPECT_THAT(error_of([] { parse_clickhouse_rows("[\"n\"]\n", 0); }), ::testing::HasSubstr("cannot read"));
  EXPECT_THAT(error_of([] { parse_clickhouse_rows("[\"n\"]\n[\"UInt8\"]\n[1, 2]\n", 0); }),
              ::testing::HasSubstr("cannot read"));
  EXPECT_THAT(error_of([] { parse_clickhouse_rows("<html>proxy error</html>", 0); }),
              ::testing::HasSubstr("cannot read"));
  EXPECT_FALSE(parse_clickhouse_rows("\n", 0).returns_rows());
  EXPECT_EQ(clickhouse_value("Nullable(Decimal(38, 2))", Json("1.50")), "1.50");
  EXPECT_EQ(clickhouse_value("Array(Array(Int64))", Json::parse("[[\"1\"], [2]]")), Json::parse("[[1], [2]]"));
  EXPECT_EQ(clickhouse_value("Map(String, Nullable(Bool))", Json::parse("{\"a\": 1, \"b\": null}")),
            Json::parse("{\"a\": true, \"b\": null}"));
  EXPECT_EQ(clickhouse_value("Tuple(Int8, Tuple(x String, y Float32))", Json::parse("[1, [\"s\", \"inf\"]]"))[1][0],
            "s");
}

TEST(DatabricksValuesTest, ConvertsByTypeName) {
  EXPECT_EQ(databricks_value("LONG", Json("-9223372036854775808")).get<int64_t>(), INT64_MIN);
  EXPECT_EQ(databricks_value("int", Json("12")), 12);
  EXPECT_EQ(databricks_value("BOOLEAN", Json("false")), false);
  EXPECT_EQ(databricks_value("DECIMAL", Json("0.10")), "0.10");
  EXPECT_EQ(databricks_value("MAP", Json("{\"a\":1}")), Json({{"a", 1}}));
  EXPECT_EQ(databricks_value("STRUCT", Json("{broken")), "{broken");
  EXPECT_EQ(databricks_value("BINARY", Json("AAEC")), "AAEC");
  EXPECT_TRUE(databricks_value("INT", nullptr).is_null());
  EXPECT_EQ(databricks_value("INT", Json("x")), "x");  // not a number: kept as sent
}

}  // namespace
}  // namespace velko::platform::sql_remote
