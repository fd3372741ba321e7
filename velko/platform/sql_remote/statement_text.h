// Checks on statement text for the drivers of services that take SQL as text over HTTP
// (ClickHouse, Databricks): one statement per request, and, where the service has no
// read-only transaction, only statements that read.
//
// The text is read with the SQL lexer of db_utils in its Databricks dialect ('...' and
// "..." strings with backslash escapes, `...` identifiers, -- and nested /* */
// comments), which also fits ClickHouse's quoting. Pure functions, thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace velko::platform::sql_remote {

inline constexpr const char* ONE_STATEMENT_ONLY = "You can only execute one statement at a time.";
inline constexpr const char* EMPTY_STATEMENT = "can't execute an empty query";

// `sql` without its trailing semicolons (and what follows them: white space, comments).
// Throws DatabaseError EMPTY_STATEMENT for text without a statement and
// ONE_STATEMENT_ONLY for text holding more than one. Text the lexer cannot read (an
// unterminated string) is returned as it is: the service reports its own syntax error.
std::string single_statement(std::string_view sql);

// Throws DatabaseError unless `statement` (one statement) only reads: it must begin with
// SELECT, WITH, VALUES, TABLE, FROM, SHOW, DESCRIBE, DESC, EXPLAIN or LIST (or an opening
// parenthesis before one of these), and no INSERT, UPDATE, DELETE or MERGE may stand
// outside parentheses (WITH ... INSERT). EXPLAIN of a write is refused too.
void ensure_read_only(std::string_view statement);

}  // namespace velko::platform::sql_remote
