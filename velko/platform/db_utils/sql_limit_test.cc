#include "velko/platform/db_utils/sql_limit.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace velko::platform::db_utils {
namespace {

using sql_lexer::SqlDialect;

constexpr LimitOutcome kAdded = LimitOutcome::kAdded;
constexpr LimitOutcome kLowered = LimitOutcome::kLowered;
constexpr LimitOutcome kKept = LimitOutcome::kKept;
constexpr LimitOutcome kUnchanged = LimitOutcome::kUnchanged;
constexpr LimitOutcome kUncapped = LimitOutcome::kUncapped;

// One case: `sql` capped at 1000 in `dialect` gives `expected` (nullptr: the input
// unchanged) with `outcome`.
struct CapCase {
  const char* name;
  const char* dialect;
  std::string_view sql;
  const char* expected;
  LimitOutcome outcome;
};

void expect_cases(const std::vector<CapCase>& cases) {
  for (const CapCase& test_case : cases) {
    SCOPED_TRACE(std::string(test_case.name) + " [" + test_case.dialect + "]: " + std::string(test_case.sql));
    const SqlDialect dialect = sql_lexer::parse_sql_dialect(test_case.dialect);
    const LimitCapResult result = cap_query_limit(test_case.sql, 1000, dialect);
    const std::string expected = test_case.expected ? test_case.expected : std::string(test_case.sql);
    EXPECT_EQ(result.sql, expected);
    EXPECT_EQ(limit_outcome_name(result.outcome), limit_outcome_name(test_case.outcome));
    EXPECT_EQ(add_limit_to_query(test_case.sql, 1000, dialect), expected);
    // Capping the result again leaves it as it is.
    const LimitCapResult again = cap_query_limit(result.sql, 1000, dialect);
    EXPECT_EQ(again.sql, result.sql);
    if (test_case.outcome == kAdded || test_case.outcome == kLowered) {
      EXPECT_EQ(again.outcome, kKept);
    }
  }
}

TEST(SqlLimitTest, HoldsTheDocumentedExamples) {
  EXPECT_EQ(add_limit_to_query("SELECT * FROM users", 100), "SELECT * FROM users LIMIT 100");
  const std::string lowered = add_limit_to_query("SELECT * FROM users LIMIT 500", 100);
  EXPECT_EQ(lowered, "SELECT * FROM users LIMIT 100");
  EXPECT_EQ(lowered.find("500"), std::string::npos);
  EXPECT_EQ(add_limit_to_query("SELECT * FROM users LIMIT 50", 100), "SELECT * FROM users LIMIT 50");
  EXPECT_EQ(add_limit_to_query("NOT VALID SQL AT ALL !!!", 100), "NOT VALID SQL AT ALL !!!");
  EXPECT_EQ(add_limit_to_query("SELECT * FROM users ORDER BY created_at DESC", 100),
            "SELECT * FROM users ORDER BY created_at DESC LIMIT 100");
  for (SqlDialect dialect : {SqlDialect::kSnowflake, SqlDialect::kDatabricks, SqlDialect::kPostgres}) {
    EXPECT_EQ(add_limit_to_query("SELECT * FROM users", 100, dialect), "SELECT * FROM users LIMIT 100");
  }
  EXPECT_EQ(add_limit_to_query("SELECT u.id, o.total\nFROM users u\nJOIN orders o ON o.user_id = u.id\n"
                               "WHERE o.total > 10\nORDER BY o.total DESC",
                               100, SqlDialect::kSnowflake),
            "SELECT u.id, o.total\nFROM users u\nJOIN orders o ON o.user_id = u.id\n"
            "WHERE o.total > 10\nORDER BY o.total DESC LIMIT 100");
}

TEST(SqlLimitTest, SeesLimitsOnlyOutsideQuotesAndComments) {
  expect_cases({
      {"line comment", "postgres", "SELECT * FROM t -- LIMIT 5", "SELECT * FROM t LIMIT 1000 -- LIMIT 5", kAdded},
      {"block comment", "postgres", "SELECT * FROM t /* LIMIT 5 */", "SELECT * FROM t LIMIT 1000 /* LIMIT 5 */",
       kAdded},
      {"nested block comment", "postgres", "SELECT 1 /* a /* LIMIT 5 */ LIMIT 6 */",
       "SELECT 1 LIMIT 1000 /* a /* LIMIT 5 */ LIMIT 6 */", kAdded},
      {"string", "postgres", "SELECT 'LIMIT 500' AS s FROM t", "SELECT 'LIMIT 500' AS s FROM t LIMIT 1000", kAdded},
      {"doubled quote", "postgres", "SELECT 'it''s LIMIT 20' FROM t", "SELECT 'it''s LIMIT 20' FROM t LIMIT 1000",
       kAdded},
      {"pg E string", "postgres", "SELECT E'\\' LIMIT 5' FROM t", "SELECT E'\\' LIMIT 5' FROM t LIMIT 1000", kAdded},
      {"pg dollar string", "postgres", "SELECT $x$ ; LIMIT 9 $x$ AS s", "SELECT $x$ ; LIMIT 9 $x$ AS s LIMIT 1000",
       kAdded},
      {"pg quoted identifier", "postgres", "SELECT \"LIMIT\" FROM t", "SELECT \"LIMIT\" FROM t LIMIT 1000", kAdded},
      {"sf backslash escape", "snowflake", "SELECT 'a\\' LIMIT 5' FROM t", "SELECT 'a\\' LIMIT 5' FROM t LIMIT 1000",
       kAdded},
      {"sf dollar string", "snowflake", "SELECT $$it's LIMIT 5$$ AS s FROM t",
       "SELECT $$it's LIMIT 5$$ AS s FROM t LIMIT 1000", kAdded},
      {"sf slash comment", "snowflake", "SELECT a FROM t // LIMIT 5", "SELECT a FROM t LIMIT 1000 // LIMIT 5", kAdded},
      {"db double quoted string", "databricks", "SELECT \"x\\\" LIMIT 5\" FROM t",
       "SELECT \"x\\\" LIMIT 5\" FROM t LIMIT 1000", kAdded},
      {"db backticks", "databricks", "SELECT `a b` FROM `db`.`t` LIMIT 5000", "SELECT `a b` FROM `db`.`t` LIMIT 1000",
       kLowered},
      {"comment after the limit", "postgres", "SELECT * FROM t ORDER BY a LIMIT 5000 -- LIMIT 10",
       "SELECT * FROM t ORDER BY a LIMIT 1000 -- LIMIT 10", kLowered},
      {"leading comments", "postgres", "-- owner: data\n/* report */ SELECT a FROM t ORDER BY a",
       "-- owner: data\n/* report */ SELECT a FROM t ORDER BY a LIMIT 1000", kAdded},
      {"unicode", "postgres", "SELECT \"имя\" FROM t WHERE s = '🚀 LIMIT 5'",
       "SELECT \"имя\" FROM t WHERE s = '🚀 LIMIT 5' LIMIT 1000", kAdded},
  });
}

TEST(SqlLimitTest, PlacesAnAddedLimitAfterTheLastClause) {
  expect_cases({
      {"trailing semicolon", "postgres", "SELECT * FROM t;", "SELECT * FROM t LIMIT 1000;", kAdded},
      {"semicolon then comment", "postgres", "SELECT * FROM t;  -- done", "SELECT * FROM t LIMIT 1000;  -- done",
       kAdded},
      {"trailing newlines", "postgres", "SELECT * FROM t ORDER BY a  \n\n",
       "SELECT * FROM t ORDER BY a LIMIT 1000  \n\n", kAdded},
      {"multi-line join", "postgres", "SELECT a.x, b.y\r\nFROM a\r\n\tLEFT JOIN b ON a.id = b.id\r\nWHERE a.z",
       "SELECT a.x, b.y\r\nFROM a\r\n\tLEFT JOIN b ON a.id = b.id\r\nWHERE a.z LIMIT 1000", kAdded},
      {"group having order", "postgres", "SELECT a, count(*) FROM t GROUP BY a HAVING count(*) > 1 ORDER BY 2 DESC",
       "SELECT a, count(*) FROM t GROUP BY a HAVING count(*) > 1 ORDER BY 2 DESC LIMIT 1000", kAdded},
      {"before OFFSET", "postgres", "SELECT * FROM t ORDER BY id OFFSET 20",
       "SELECT * FROM t ORDER BY id LIMIT 1000 OFFSET 20", kAdded},
      {"before OFFSET ROWS", "snowflake", "SELECT * FROM t ORDER BY id OFFSET 5 ROWS",
       "SELECT * FROM t ORDER BY id LIMIT 1000 OFFSET 5 ROWS", kAdded},
      {"before FOR UPDATE", "postgres", "SELECT * FROM t WHERE id = 1 FOR UPDATE",
       "SELECT * FROM t WHERE id = 1 LIMIT 1000 FOR UPDATE", kAdded},
      {"before FOR NO KEY UPDATE", "postgres", "SELECT * FROM t FOR NO KEY UPDATE OF t NOWAIT",
       "SELECT * FROM t LIMIT 1000 FOR NO KEY UPDATE OF t NOWAIT", kAdded},
      {"glued clause", "postgres", "SELECT * FROM t WHERE a = $1offset 5",
       "SELECT * FROM t WHERE a = $1 LIMIT 1000 offset 5", kAdded},
      {"window clause", "postgres", "SELECT sum(b) OVER w FROM t WINDOW w AS (ORDER BY a)",
       "SELECT sum(b) OVER w FROM t WINDOW w AS (ORDER BY a) LIMIT 1000", kAdded},
      {"qualify", "snowflake", "SELECT * FROM t QUALIFY ROW_NUMBER() OVER (PARTITION BY a ORDER BY b DESC) = 1",
       "SELECT * FROM t QUALIFY ROW_NUMBER() OVER (PARTITION BY a ORDER BY b DESC) = 1 LIMIT "
       "1000",
       kAdded},
      {"db cluster by", "databricks", "SELECT * FROM t CLUSTER BY a", "SELECT * FROM t CLUSTER BY a LIMIT 1000",
       kAdded},
      {"db distribute sort", "databricks", "SELECT * FROM t DISTRIBUTE BY a SORT BY b",
       "SELECT * FROM t DISTRIBUTE BY a SORT BY b LIMIT 1000", kAdded},
      {"db lateral view", "databricks", "SELECT id, x FROM t LATERAL VIEW EXPLODE(arr) e AS x",
       "SELECT id, x FROM t LATERAL VIEW EXPLODE(arr) e AS x LIMIT 1000", kAdded},
      {"star except", "databricks", "SELECT * EXCEPT (a) FROM t", "SELECT * EXCEPT (a) FROM t LIMIT 1000", kAdded},
      {"sf json path keyword", "snowflake", "SELECT v:from::string FROM t", "SELECT v:from::string FROM t LIMIT 1000",
       kAdded},
      {"sf flatten", "snowflake", "SELECT f.value FROM t, LATERAL FLATTEN(input => t.arr) f",
       "SELECT f.value FROM t, LATERAL FLATTEN(input => t.arr) f LIMIT 1000", kAdded},
      {"type parameters", "databricks", "SELECT CAST(a AS MAP<INT, ARRAY<INT>>) FROM t",
       "SELECT CAST(a AS MAP<INT, ARRAY<INT>>) FROM t LIMIT 1000", kAdded},
      {"distinct on", "postgres", "SELECT DISTINCT ON (a) * FROM t ORDER BY a, b",
       "SELECT DISTINCT ON (a) * FROM t ORDER BY a, b LIMIT 1000", kAdded},
      {"ordering operator", "postgres", "SELECT a FROM t ORDER BY a USING >",
       "SELECT a FROM t ORDER BY a USING > LIMIT 1000", kAdded},
      {"keyword as alias", "postgres", "SELECT 1 AS limit, t.offset FROM t",
       "SELECT 1 AS limit, t.offset FROM t LIMIT 1000", kAdded},
      {"is distinct from", "postgres", "SELECT a FROM t WHERE a IS DISTINCT FROM b",
       "SELECT a FROM t WHERE a IS DISTINCT FROM b LIMIT 1000", kAdded},
  });
}

TEST(SqlLimitTest, LeavesSubqueryLimitsAlone) {
  expect_cases({
      {"derived table", "postgres", "SELECT * FROM (SELECT * FROM t LIMIT 5000) AS s",
       "SELECT * FROM (SELECT * FROM t LIMIT 5000) AS s LIMIT 1000", kAdded},
      {"where subquery", "postgres", "SELECT * FROM t WHERE a IN (SELECT b FROM u LIMIT 5000)",
       "SELECT * FROM t WHERE a IN (SELECT b FROM u LIMIT 5000) LIMIT 1000", kAdded},
      {"scalar subquery", "snowflake", "SELECT a, (SELECT max(b) FROM u LIMIT 1) FROM t",
       "SELECT a, (SELECT max(b) FROM u LIMIT 1) FROM t LIMIT 1000", kAdded},
      {"inner big, outer big", "postgres", "SELECT * FROM (SELECT * FROM t LIMIT 5000) s ORDER BY 1 LIMIT 3000",
       "SELECT * FROM (SELECT * FROM t LIMIT 5000) s ORDER BY 1 LIMIT 1000", kLowered},
      {"inner fetch", "postgres", "SELECT * FROM (SELECT * FROM t FETCH FIRST 9000 ROWS ONLY) s LIMIT 10",
       "SELECT * FROM (SELECT * FROM t FETCH FIRST 9000 ROWS ONLY) s LIMIT 10", kKept},
      {"values derived table", "snowflake", "SELECT * FROM (VALUES (1), (2)) AS v(x)",
       "SELECT * FROM (VALUES (1), (2)) AS v(x) LIMIT 1000", kAdded},
      {"lateral join", "postgres",
       "SELECT * FROM a CROSS JOIN LATERAL (SELECT * FROM b WHERE b.id = a.id LIMIT 5000) x",
       "SELECT * FROM a CROSS JOIN LATERAL (SELECT * FROM b WHERE b.id = a.id LIMIT 5000) x "
       "LIMIT 1000",
       kAdded},
  });
}

TEST(SqlLimitTest, ReadsCommonTableExpressions) {
  expect_cases({
      {"limit only inside", "postgres", "WITH c AS (SELECT * FROM t LIMIT 5000) SELECT * FROM c",
       "WITH c AS (SELECT * FROM t LIMIT 5000) SELECT * FROM c LIMIT 1000", kAdded},
      {"outer limit", "snowflake", "WITH c AS (SELECT * FROM t) SELECT * FROM c ORDER BY 1 LIMIT 5000",
       "WITH c AS (SELECT * FROM t) SELECT * FROM c ORDER BY 1 LIMIT 1000", kLowered},
      {"both small", "databricks", "WITH c AS (SELECT * FROM t LIMIT 7) SELECT * FROM c LIMIT 3", nullptr, kKept},
      {"several, recursive", "postgres",
       "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r), s AS (SELECT 2) "
       "SELECT n FROM r",
       "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r), s AS (SELECT 2) "
       "SELECT n FROM r LIMIT 1000",
       kAdded},
      {"materialized", "postgres", "WITH c AS NOT MATERIALIZED (SELECT 1) SELECT * FROM c",
       "WITH c AS NOT MATERIALIZED (SELECT 1) SELECT * FROM c LIMIT 1000", kAdded},
      {"data-modifying cte", "postgres", "WITH d AS (DELETE FROM t RETURNING *) SELECT * FROM d",
       "WITH d AS (DELETE FROM t RETURNING *) SELECT * FROM d LIMIT 1000", kAdded},
      {"db cte without AS", "databricks", "WITH c (SELECT 1) SELECT * FROM c",
       "WITH c (SELECT 1) SELECT * FROM c LIMIT 1000", kAdded},
      {"parenthesised main query", "postgres", "WITH c AS (SELECT a FROM t) ((SELECT a FROM c))",
       "WITH c AS (SELECT a FROM t) ((SELECT a FROM c LIMIT 1000))", kAdded},
      {"with insert", "postgres", "WITH c AS (SELECT 1) INSERT INTO t SELECT * FROM c", nullptr, kUnchanged},
      {"missing main query", "postgres", "WITH c AS (SELECT 1)", nullptr, kUnchanged},
  });
}

TEST(SqlLimitTest, CapsSetOperationsAsAWhole) {
  expect_cases({
      {"union", "postgres", "SELECT a FROM t UNION ALL SELECT a FROM u",
       "SELECT a FROM t UNION ALL SELECT a FROM u LIMIT 1000", kAdded},
      {"union order", "postgres", "SELECT a FROM t UNION SELECT a FROM u ORDER BY a",
       "SELECT a FROM t UNION SELECT a FROM u ORDER BY a LIMIT 1000", kAdded},
      {"trailing limit covers the union", "snowflake", "SELECT a FROM t UNION ALL SELECT a FROM u LIMIT 2000",
       "SELECT a FROM t UNION ALL SELECT a FROM u LIMIT 1000", kLowered},
      {"intersect", "databricks", "SELECT a FROM t INTERSECT SELECT a FROM u LIMIT 5000",
       "SELECT a FROM t INTERSECT SELECT a FROM u LIMIT 1000", kLowered},
      {"branch limits are not the statement's", "postgres",
       "(SELECT a FROM t LIMIT 10) UNION ALL (SELECT a FROM u LIMIT 20)",
       "(SELECT a FROM t LIMIT 10) UNION ALL (SELECT a FROM u LIMIT 20) LIMIT 1000", kAdded},
      {"parenthesised branches then limit", "postgres",
       "(SELECT a FROM t) UNION ALL (SELECT a FROM u) ORDER BY a LIMIT 5000",
       "(SELECT a FROM t) UNION ALL (SELECT a FROM u) ORDER BY a LIMIT 1000", kLowered},
      {"sf minus", "snowflake", "SELECT a FROM t MINUS SELECT a FROM u",
       "SELECT a FROM t MINUS SELECT a FROM u LIMIT 1000", kAdded},
      {"minus is a name in postgres", "postgres", "SELECT a FROM t MINUS SELECT a FROM u", nullptr, kUnchanged},
      {"by name", "databricks", "SELECT a FROM t UNION ALL BY NAME SELECT a FROM u",
       "SELECT a FROM t UNION ALL BY NAME SELECT a FROM u LIMIT 1000", kAdded},
      {"values branch", "postgres", "VALUES (1) UNION SELECT a FROM x", "VALUES (1) UNION SELECT a FROM x LIMIT 1000",
       kAdded},
      {"order before union", "postgres", "SELECT a FROM t ORDER BY a UNION SELECT b FROM u", nullptr, kUnchanged},
      {"limit before union", "postgres", "SELECT a FROM t LIMIT 5 UNION SELECT b FROM u", nullptr, kUnchanged},
  });
}

TEST(SqlLimitTest, ReadsParenthesisedQueries) {
  expect_cases({
      {"double parentheses", "postgres", "((SELECT * FROM t))", "((SELECT * FROM t LIMIT 1000))", kAdded},
      {"limit inside is the statement's", "snowflake", "((SELECT * FROM t LIMIT 5000))",
       "((SELECT * FROM t LIMIT 1000))", kLowered},
      {"limit outside", "databricks", "(SELECT * FROM t) LIMIT 5000", "(SELECT * FROM t) LIMIT 1000", kLowered},
      {"order outside", "postgres", "(SELECT * FROM t) ORDER BY 1", "(SELECT * FROM t) ORDER BY 1 LIMIT 1000", kAdded},
      {"set operation inside", "postgres", "((SELECT 1) EXCEPT (SELECT 2))",
       "((SELECT 1) EXCEPT (SELECT 2) LIMIT 1000)", kAdded},
      {"outer limit bounds an inner one", "postgres", "(SELECT * FROM t LIMIT 5000) ORDER BY 1",
       "(SELECT * FROM t LIMIT 5000) ORDER BY 1 LIMIT 1000", kAdded},
      {"an expression is not a query", "postgres", "(1 * 2) / (3 - 5)", nullptr, kUnchanged},
      {"a query in an expression", "postgres", "(SELECT 1) + 1", nullptr, kUnchanged},
  });
}

TEST(SqlLimitTest, ComparesLiteralLimitsByValue) {
  expect_cases({
      {"equal", "postgres", "SELECT * FROM t LIMIT 1000", nullptr, kKept},
      {"one above", "postgres", "SELECT * FROM t LIMIT 1001", "SELECT * FROM t LIMIT 1000", kLowered},
      {"zero", "postgres", "SELECT * FROM t LIMIT 0", nullptr, kKept},
      {"leading zeros", "postgres", "SELECT * FROM t LIMIT 00500", nullptr, kKept},
      {"leading zeros above", "postgres", "SELECT * FROM t LIMIT 0001001", "SELECT * FROM t LIMIT 1000", kLowered},
      {"int64 max", "postgres", "SELECT * FROM t LIMIT 9223372036854775807", "SELECT * FROM t LIMIT 1000", kLowered},
      {"beyond int64", "snowflake", "SELECT * FROM t LIMIT 99999999999999999999", "SELECT * FROM t LIMIT 1000",
       kLowered},
      {"fraction above", "postgres", "SELECT * FROM t LIMIT 1000.5", "SELECT * FROM t LIMIT 1000", kLowered},
      {"fraction equal", "postgres", "SELECT * FROM t LIMIT 1000.000", nullptr, kKept},
      {"exponent above", "databricks", "SELECT * FROM t LIMIT 1e4", "SELECT * FROM t LIMIT 1000", kLowered},
      {"exponent equal", "postgres", "SELECT * FROM t LIMIT 1e3", nullptr, kKept},
      {"negative exponent", "postgres", "SELECT * FROM t LIMIT 50000e-2", nullptr, kKept},
      {"underscores", "postgres", "SELECT * FROM t LIMIT 1_000_000", "SELECT * FROM t LIMIT 1000", kLowered},
      {"parenthesised", "postgres", "SELECT * FROM t LIMIT (2000)", "SELECT * FROM t LIMIT (1000)", kLowered},
      {"quoted number", "postgres", "SELECT * FROM t LIMIT '5000'", "SELECT * FROM t LIMIT 1000", kLowered},
      {"quoted number glued", "postgres", "SELECT * FROM t LIMIT'5000'", "SELECT * FROM t LIMIT 1000", kLowered},
      {"plus sign", "postgres", "SELECT * FROM t LIMIT +5000", "SELECT * FROM t LIMIT +1000", kLowered},
      {"negative", "postgres", "SELECT * FROM t LIMIT -1", nullptr, kKept},
      {"limit all", "postgres", "SELECT * FROM t LIMIT ALL", "SELECT * FROM t LIMIT 1000", kLowered},
      {"limit null", "snowflake", "SELECT * FROM t LIMIT NULL", "SELECT * FROM t LIMIT 1000", kLowered},
      {"sf empty string", "snowflake", "SELECT * FROM t LIMIT ''", "SELECT * FROM t LIMIT 1000", kLowered},
      {"split over lines", "postgres", "SELECT *\nFROM t\nLIMIT\n  5000", "SELECT *\nFROM t\nLIMIT\n  1000", kLowered},
      {"lower case", "postgres", "select a from t order by a limit 5000", "select a from t order by a limit 1000",
       kLowered},
  });
}

TEST(SqlLimitTest, HandlesOffsetFetchAndTop) {
  expect_cases({
      {"limit offset", "postgres", "SELECT * FROM t ORDER BY id LIMIT 5000 OFFSET 20",
       "SELECT * FROM t ORDER BY id LIMIT 1000 OFFSET 20", kLowered},
      {"small limit offset", "databricks", "SELECT * FROM t ORDER BY id LIMIT 10 OFFSET 2000", nullptr, kKept},
      {"offset then limit", "postgres", "SELECT * FROM t ORDER BY id OFFSET 20 LIMIT 5000",
       "SELECT * FROM t ORDER BY id OFFSET 20 LIMIT 1000", kLowered},
      {"fetch first", "postgres", "SELECT * FROM t ORDER BY a FETCH FIRST 5000 ROWS ONLY",
       "SELECT * FROM t ORDER BY a FETCH FIRST 1000 ROWS ONLY", kLowered},
      {"offset fetch next", "snowflake", "SELECT * FROM t ORDER BY a OFFSET 5 ROWS FETCH NEXT 5000 ROWS ONLY",
       "SELECT * FROM t ORDER BY a OFFSET 5 ROWS FETCH NEXT 1000 ROWS ONLY", kLowered},
      {"fetch small", "postgres", "SELECT * FROM t FETCH FIRST 10 ROWS ONLY", nullptr, kKept},
      {"fetch implicit one", "postgres", "SELECT * FROM t FETCH FIRST ROW ONLY", nullptr, kKept},
      {"fetch with ties", "postgres", "SELECT * FROM t ORDER BY a FETCH FIRST 5000 ROWS WITH TIES",
       "SELECT * FROM t ORDER BY a FETCH FIRST 1000 ROWS WITH TIES", kLowered},
      {"limit then lock", "postgres", "SELECT * FROM t ORDER BY id LIMIT 5000 FOR UPDATE SKIP LOCKED",
       "SELECT * FROM t ORDER BY id LIMIT 1000 FOR UPDATE SKIP LOCKED", kLowered},
      {"sf top", "snowflake", "SELECT TOP 5000 * FROM t", "SELECT TOP 1000 * FROM t", kLowered},
      {"sf top small", "snowflake", "SELECT DISTINCT TOP 10 a, b FROM t ORDER BY a", nullptr, kKept},
      {"sf top in a union branch", "snowflake", "SELECT TOP 5 a FROM t UNION SELECT a FROM u",
       "SELECT TOP 5 a FROM t UNION SELECT a FROM u LIMIT 1000", kAdded},
      {"top is a name in postgres", "postgres", "SELECT top FROM t", "SELECT top FROM t LIMIT 1000", kAdded},
      {"limit and fetch", "postgres", "SELECT * FROM t LIMIT 5 FETCH FIRST 5 ROWS ONLY", nullptr, kUnchanged},
      {"two limits", "postgres", "SELECT * FROM t LIMIT 5 LIMIT 6", nullptr, kUnchanged},
      {"order after limit", "postgres", "SELECT * FROM t LIMIT 5 ORDER BY a", nullptr, kUnchanged},
      {"mysql offset, count", "databricks", "SELECT * FROM t LIMIT 10, 5000", nullptr, kUnchanged},
  });
}

TEST(SqlLimitTest, BoundsExpressionLimitsWhereTheDialectAllows) {
  expect_cases({
      {"pg parameter", "postgres", "SELECT * FROM t LIMIT $1", "SELECT * FROM t LIMIT LEAST($1, 1000)", kLowered},
      {"pg qmark", "postgres", "SELECT * FROM t LIMIT ? OFFSET ?", "SELECT * FROM t LIMIT LEAST(?, 1000) OFFSET ?",
       kLowered},
      {"db named parameter", "databricks", "SELECT * FROM t LIMIT :n", "SELECT * FROM t LIMIT LEAST(:n, 1000)",
       kLowered},
      {"arithmetic", "postgres", "SELECT * FROM t LIMIT 10 + 5", "SELECT * FROM t LIMIT LEAST(10 + 5, 1000)", kLowered},
      {"subquery", "postgres", "SELECT * FROM t LIMIT (SELECT 5000)",
       "SELECT * FROM t LIMIT LEAST((SELECT 5000), 1000)", kLowered},
      {"glued subquery", "postgres", "SELECT * FROM t LIMIT(SELECT 5000)",
       "SELECT * FROM t LIMIT LEAST((SELECT 5000), 1000)", kLowered},
      {"typed literal", "databricks", "SELECT * FROM t LIMIT 10L", "SELECT * FROM t LIMIT LEAST(10L, 1000)", kLowered},
      {"fetch parameter", "postgres", "SELECT * FROM t FETCH FIRST $1 ROWS ONLY",
       "SELECT * FROM t FETCH FIRST LEAST($1, 1000) ROWS ONLY", kLowered},
      {"already bounded", "postgres", "SELECT * FROM t LIMIT least($1, 50)", nullptr, kKept},
      {"bounded above the cap", "postgres", "SELECT * FROM t LIMIT LEAST($1, 5000)",
       "SELECT * FROM t LIMIT LEAST(LEAST($1, 5000), 1000)", kLowered},
      {"a name that is a keyword", "postgres", "SELECT * FROM t LIMIT values",
       "SELECT * FROM t LIMIT LEAST(values, 1000)", kLowered},
      {"a query keyword is no value", "postgres", "SELECT * FROM t LIMIT with", nullptr, kUnchanged},
      {"sf bind variable", "snowflake", "SELECT * FROM t LIMIT :n", nullptr, kUncapped},
      {"sf qmark", "snowflake", "SELECT * FROM t LIMIT ?", nullptr, kUncapped},
  });
}

TEST(SqlLimitTest, LeavesStatementsThatAreNotOneQueryUnchanged) {
  expect_cases({
      {"ddl", "postgres", "CREATE TABLE t2 AS SELECT * FROM t", nullptr, kUnchanged},
      {"insert select", "databricks", "INSERT INTO t2 SELECT * FROM t", nullptr, kUnchanged},
      {"update", "snowflake", "UPDATE t SET a = 1 WHERE b = 2", nullptr, kUnchanged},
      {"delete", "postgres", "DELETE FROM t WHERE a > 5", nullptr, kUnchanged},
      {"explain", "postgres", "EXPLAIN ANALYZE SELECT * FROM t LIMIT 5000", nullptr, kUnchanged},
      {"show", "databricks", "SHOW TABLES", nullptr, kUnchanged},
      {"describe", "snowflake", "DESC TABLE t", nullptr, kUnchanged},
      {"set", "postgres", "SET statement_timeout = 600", nullptr, kUnchanged},
      {"select into", "postgres", "SELECT * INTO t2 FROM t", nullptr, kUnchanged},
      {"select into table", "postgres", "SELECT a INTO TABLE tmp FROM t", nullptr, kUnchanged},
      {"bare expression", "postgres", "SUM(1)", nullptr, kUnchanged},
      {"natural language", "postgres", "show me the top 10 customers", nullptr, kUnchanged},
      {"two statements", "postgres", "SELECT 1; SELECT 2", nullptr, kUnchanged},
      {"two statements, first limited", "snowflake", "SELECT * FROM a LIMIT 5000; SELECT 1", nullptr, kUnchanged},
      {"leading semicolon", "postgres", "; SELECT 1", nullptr, kUnchanged},
      {"values is a query in postgres", "postgres", "VALUES (1, 'a'), (2, 'b')", "VALUES (1, 'a'), (2, 'b') LIMIT 1000",
       kAdded},
      {"values with limit", "databricks", "VALUES (1), (2) LIMIT 5000", "VALUES (1), (2) LIMIT 1000", kLowered},
      {"values is not a query in snowflake", "snowflake", "VALUES (1), (2)", nullptr, kUnchanged},
      {"table command", "postgres", "TABLE t", "TABLE t LIMIT 1000", kAdded},
  });
}

TEST(SqlLimitTest, ReturnsUnreadableTextUnchanged) {
  expect_cases({
      {"typo", "postgres", "SELEC * FROM t", nullptr, kUnchanged},
      {"incomplete from", "postgres", "SELECT * FROM", nullptr, kUnchanged},
      {"incomplete where", "snowflake", "SELECT * FROM t WHERE a =", nullptr, kUnchanged},
      {"incomplete order", "postgres", "SELECT * FROM t ORDER BY", nullptr, kUnchanged},
      {"incomplete limit", "postgres", "SELECT * FROM t LIMIT", nullptr, kUnchanged},
      {"dangling and", "databricks", "SELECT * FROM t WHERE a AND", nullptr, kUnchanged},
      {"trailing comma", "postgres", "SELECT a, b, FROM t", nullptr, kUnchanged},
      {"comma in call", "postgres", "SELECT f(a,) FROM t", nullptr, kUnchanged},
      {"unbalanced", "postgres", "SELECT (1 FROM t", nullptr, kUnchanged},
      {"unterminated string", "snowflake", "SELECT 'abc FROM t", nullptr, kUnchanged},
      {"unterminated comment", "postgres", "SELECT 1 /* x", nullptr, kUnchanged},
      {"backtick outside databricks", "postgres", "SELECT `a` FROM t", nullptr, kUnchanged},
      {"empty", "postgres", "", nullptr, kUnchanged},
      {"whitespace", "postgres", "   \n\t ", nullptr, kUnchanged},
      {"comment only", "postgres", "-- just a comment", nullptr, kUnchanged},
      {"semicolon only", "postgres", ";", nullptr, kUnchanged},
      {"broken subquery", "postgres", "SELECT * FROM (SELECT FROM WHERE) s", nullptr, kUnchanged},
      {"bang", "postgres", "NOT VALID SQL AT ALL !!!", nullptr, kUnchanged},
  });
}

TEST(SqlLimitTest, SaysWhyTextCameBackUnchanged) {
  struct ReasonCase {
    std::string_view sql;
    long long limit;
    UnchangedReason reason;
  };
  const std::vector<ReasonCase> cases = {
      {"SELECT 'x", 10, UnchangedReason::kUnreadable},
      {"SELECT * FROM", 10, UnchangedReason::kUnreadable},
      {" -- c", 10, UnchangedReason::kEmpty},
      {"SELECT 1; SELECT 2", 10, UnchangedReason::kSeveralStatements},
      {"DROP TABLE t", 10, UnchangedReason::kNotAQuery},
      {"WITH c AS (SELECT 1) DELETE FROM t", 10, UnchangedReason::kNotAQuery},
      {"SELECT * INTO t2 FROM t", 10, UnchangedReason::kWritesTable},
      {"SELECT 1", -1, UnchangedReason::kNegativeLimit},
      {"SELECT 1", 10, UnchangedReason::kNone},
  };
  for (const ReasonCase& test_case : cases) {
    SCOPED_TRACE(std::string(test_case.sql));
    EXPECT_EQ(cap_query_limit(test_case.sql, test_case.limit).reason, test_case.reason);
  }
}

TEST(SqlLimitTest, UsesTheCapItIsGiven) {
  EXPECT_EQ(add_limit_to_query("SELECT 1", 0), "SELECT 1 LIMIT 0");
  EXPECT_EQ(add_limit_to_query("SELECT 1 LIMIT 1", 0), "SELECT 1 LIMIT 0");
  EXPECT_EQ(add_limit_to_query("SELECT 1 FETCH FIRST ROW ONLY", 0), "SELECT 1 FETCH FIRST 0 ROW ONLY");
  const long long max = std::numeric_limits<long long>::max();
  EXPECT_EQ(add_limit_to_query("SELECT 1", max), "SELECT 1 LIMIT 9223372036854775807");
  EXPECT_EQ(add_limit_to_query("SELECT 1 LIMIT 99999999999999999999", max), "SELECT 1 LIMIT 9223372036854775807");
  EXPECT_EQ(add_limit_to_query("SELECT 1", -5), "SELECT 1");
  // An unknown dialect reads as postgres: backticks do not quote there.
  EXPECT_EQ(add_limit_to_query("SELECT `a` FROM t", 10, sql_lexer::parse_sql_dialect("mysql")), "SELECT `a` FROM t");
  EXPECT_EQ(add_limit_to_query("SELECT `a` FROM t", 10, sql_lexer::parse_sql_dialect("Databricks")),
            "SELECT `a` FROM t LIMIT 10");
}

}  // namespace
}  // namespace velko::platform::db_utils

namespace velko::platform::db_utils {
namespace {

// WITH TIES returns the rows tied with the last one too, so a capped WITH TIES limit
// does not bound the row count; a subquery's WITH TIES says nothing about the outer one.
TEST(SqlLimitTest, SaysWhetherTheTextBoundsTheRowCount) {
  struct BoundCase {
    const char* sql;
    bool bounded;
  };
  const BoundCase cases[] = {
      {"SELECT * FROM t", true},
      {"SELECT * FROM t LIMIT 10", true},
      {"SELECT * FROM t LIMIT 5000", true},
      {"SELECT * FROM t FETCH FIRST 10 ROWS ONLY", true},
      {"SELECT * FROM t ORDER BY a FETCH FIRST 1 ROW WITH TIES", false},
      {"SELECT * FROM t ORDER BY a FETCH FIRST ROW WITH TIES", false},
      {"SELECT * FROM t ORDER BY a FETCH FIRST 5000 ROWS WITH TIES", false},
      {"SELECT * FROM (SELECT * FROM t ORDER BY a FETCH FIRST 1 ROW WITH TIES) s", true},
      {"INSERT INTO t VALUES (1)", false},
      {"NOT VALID SQL AT ALL !!!", false},
  };
  for (const BoundCase& test_case : cases) {
    SCOPED_TRACE(test_case.sql);
    EXPECT_EQ(bounds_row_count(cap_query_limit(test_case.sql, 50)), test_case.bounded);
  }
}

}  // namespace
}  // namespace velko::platform::db_utils
