// The SQL row cap: bounds the number of rows a query may return by rewriting its
// outermost row limit, and nothing else.
//
// How a statement is read. The text is lexed once for its dialect (see sql_lexer.h),
// then read structurally: CTEs (WITH [RECURSIVE] name [(cols)] AS [[NOT] MATERIALIZED]
// (...)), query terms (SELECT, VALUES, TABLE name, a parenthesised query), set
// operations (UNION / INTERSECT / EXCEPT / MINUS, with ALL / DISTINCT / BY NAME) and the
// trailing clauses that belong to the whole query (ORDER BY, LIMIT, OFFSET,
// FETCH FIRST|NEXT, FOR UPDATE/SHARE, and Databricks' CLUSTER / DISTRIBUTE / SORT BY).
// Subqueries in parentheses are read the same way, so their own limits are never taken
// for the statement's. Clause contents are checked for dangling operators, commas and
// keywords ("SELECT * FROM", "WHERE a =") so broken text is not mistaken for a query.
//
// Outcomes (limit 1000 in the examples):
//   added     no row limit: " LIMIT 1000" is inserted after the last token of the query,
//             before any OFFSET or FOR UPDATE clause, before a trailing ';' and before
//             trailing comments ("SELECT 1 -- note" -> "SELECT 1 LIMIT 1000 -- note").
//             A query wholly in parentheses gets it inside them: "((SELECT 1))" ->
//             "((SELECT 1 LIMIT 1000))".
//   lowered   a limit above the cap: its number is replaced ("LIMIT 5000" ->
//             "LIMIT 1000", "FETCH FIRST 5000 ROWS ONLY" -> "FETCH FIRST 1000 ROWS
//             ONLY", Snowflake "TOP 5000" -> "TOP 1000"; the keyword stays, since only
//             the value is rewritten). Literals compare by exact decimal value, so
//             "1e4", "1000.5" and "99999999999999999999" are above 1000 and "00500" is
//             not. A quoted number ('5000') counts as that number. "LIMIT ALL",
//             "LIMIT NULL", "LIMIT ''" mean no limit and their value is replaced.
//             FETCH ... WITH TIES keeps its WITH TIES: the database may still return
//             the rows tied with the last one.
//   kept      a literal limit at or below the cap (including FETCH FIRST ROW ONLY, an
//             implicit 1, and negative literals, which the database rejects anyway).
//   unchanged anything that is not exactly one readable query: unreadable text, empty
//             text, several statements ("SELECT 1; SELECT 2": the caller strips a
//             trailing ';', so a second statement means this is not one query), DDL,
//             DML, EXPLAIN, SHOW, SET, bare expressions, WITH ... INSERT, and
//             SELECT ... INTO (it creates a table instead of returning rows; capping it
//             would silently truncate that table). A standalone VALUES is a query in
//             PostgreSQL and Databricks, not in Snowflake.
//
// Limits that are not literals (LIMIT $1, LIMIT ?, LIMIT :n, LIMIT 10 + 5,
// LIMIT (SELECT ...), LIMIT 10L): in postgres and databricks the expression is wrapped
// as LEAST(expr, cap), which is a true cap whatever the value turns out to be. Snowflake
// accepts only constants there, so the text is returned unchanged (outcome kUncapped:
// the statement keeps a limit this function could not bound).
//
// "LIMIT m, n" (MySQL's offset, count) is not valid in these dialects; such text is
// returned unchanged. A negative cap is no cap: the text is returned unchanged.
//
// Thread safety: all functions are safe to call concurrently; each thread reuses its
// own token buffer.

#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "velko/platform/sql_lexer/sql_lexer.h"

namespace velko::platform::db_utils {

// Returns `query` with its outermost row limit capped at `limit`. Never throws for
// unreadable SQL: text that cannot be read as a single query comes back unchanged, byte
// for byte. The dialect is postgres unless given (a name from outside is read with
// sql_lexer::parse_sql_dialect). Every byte outside the rewritten limit is kept,
// comments included. May throw std::bad_alloc only.
std::string add_limit_to_query(std::string_view query, long long limit,
                               sql_lexer::SqlDialect dialect = sql_lexer::SqlDialect::kPostgres);

enum class LimitOutcome : std::uint8_t {
  kUnchanged,  // not a single readable query; text returned as given
  kAdded,      // " LIMIT n" inserted
  kLowered,    // the limit value replaced by n, or wrapped as LEAST(value, n)
  kKept,       // a literal limit at or below n; text returned as given
  kUncapped,   // a limit that could not be bounded (Snowflake expression); text as given
};

// Why a text came back unchanged; kNone when it did not.
enum class UnchangedReason : std::uint8_t {
  kNone,
  kUnreadable,         // the lexer or the structural reader rejected the text
  kEmpty,              // no tokens at all (whitespace, comments)
  kSeveralStatements,  // more than one statement
  kNotAQuery,          // a statement that returns no capped rows (DDL, DML, EXPLAIN, ...)
  kWritesTable,        // SELECT ... INTO
  kNegativeLimit,      // the cap itself was negative
};

struct LimitCapResult {
  std::string sql;
  LimitOutcome outcome = LimitOutcome::kUnchanged;
  UnchangedReason reason = UnchangedReason::kNone;
  // The outermost limit is FETCH ... WITH TIES: even when capped, the database may
  // return more rows than the limit (those tied with the last), so the row count is not
  // bounded by the text.
  bool with_ties = false;
};

// True when the text as returned bounds the statement's row count at `limit`: a limit
// was added, lowered or kept, and it is not WITH TIES.
inline bool bounds_row_count(const LimitCapResult& result) {
  return !result.with_ties && (result.outcome == LimitOutcome::kAdded || result.outcome == LimitOutcome::kLowered ||
                               result.outcome == LimitOutcome::kKept);
}

// add_limit_to_query with the outcome: what was done to the text and, when nothing was,
// why. add_limit_to_query(q, n, d) == cap_query_limit(q, n, d).sql.
LimitCapResult cap_query_limit(std::string_view query, long long limit,
                               sql_lexer::SqlDialect dialect = sql_lexer::SqlDialect::kPostgres);

// "unchanged", "added", "lowered", "kept", "uncapped".
std::string_view limit_outcome_name(LimitOutcome outcome);

}  // namespace velko::platform::db_utils
