// A dialect-aware SQL lexer for PostgreSQL, Snowflake and Databricks SQL.
//
// It splits SQL text into its significant tokens (comments and whitespace are dropped),
// gives every unquoted word the keyword it spells (if it is one the structural reader
// needs), and pairs every bracket with its partner. It never allocates per token: the
// caller owns the token vector and may reuse it between calls.
//
// What each dialect reads:
//   strings      postgres  '...' with '' escapes; E'...' also with backslash escapes;
//                          $$...$$ and $tag$...$tag$
//                snowflake '...' with '' and backslash escapes; $$...$$
//                databricks '...' and "..." with backslash escapes; r'...' raw strings
//   identifiers  "..." with "" escapes (postgres, snowflake); `...` with `` escapes
//                (databricks); unquoted words may hold letters, digits, _, $ and any
//                byte >= 0x80
//   comments     -- to end of line (all); /* */ nested (postgres, databricks), not
//                nested (snowflake); // to end of line (snowflake)
//   parameters   $1 (postgres, snowflake), $name (snowflake), ?, :name
//
// Thread safety: stateless; safe to call from several threads on separate vectors.

#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace velko::platform::sql_lexer {

enum class SqlDialect : std::uint8_t { kPostgres, kSnowflake, kDatabricks };

// The dialect a name read from outside stands for (a command option, a stored
// record): "postgres", "snowflake" or "databricks", in any letter case; any other
// name, the empty one included, is postgres. Never throws.
SqlDialect parse_sql_dialect(std::string_view name);

// The lower-case name of `dialect` ("postgres", "snowflake", "databricks"), the one
// parse_sql_dialect reads back.
std::string_view sql_dialect_name(SqlDialect dialect);

enum class TokenKind : std::uint8_t {
  kWord,         // unquoted identifier or keyword
  kQuotedIdent,  // "..." (postgres, snowflake) or `...` (databricks)
  kString,       // any string literal, prefix and quotes included
  kNumber,       // digits, fraction, exponent and any letters glued to them (10L, 0x1F)
  kParameter,    // $1, $name, ?, :name
  kOperator,     // a run of operator characters, or "::" / ":"
  kComma,
  kSemicolon,
  kDot,
  kOpenParen,
  kCloseParen,
  kOpenBracket,   // [
  kCloseBracket,  // ]
  kOpenBrace,     // {
  kCloseBrace,    // }
};

// The keywords that the structural reader of a query looks at. Any other word is
// kNone.
enum class Keyword : std::uint8_t {
  kNone,
  kAll,
  kAnd,
  kAs,
  kBetween,
  kBy,
  kCase,
  kCluster,
  kDelete,
  kDistinct,
  kDistribute,
  kElse,
  kEscape,
  kExcept,
  kFetch,
  kFirst,
  kFor,
  kFrom,
  kGroup,
  kHaving,
  kIlike,
  kIn,
  kInsert,
  kIntersect,
  kInto,
  kIs,
  kJoin,
  kKey,
  kLike,
  kLimit,
  kMaterialized,
  kMerge,
  kMinus,
  kName,
  kNext,
  kNo,
  kNot,
  kNull,
  kOffset,
  kOn,
  kOnly,
  kOr,
  kOrder,
  kQualify,
  kRead,
  kRecursive,
  kRegexp,
  kRlike,
  kRow,
  kRows,
  kSelect,
  kShare,
  kSimilar,
  kSort,
  kTable,
  kThen,
  kTies,
  kTop,
  kUnion,
  kUpdate,
  kUsing,
  kValues,
  kWhen,
  kWhere,
  kWindow,
  kWith,
};

// The keyword that `word` spells, ignoring letter case; kNone for any other word.
Keyword classify_keyword(std::string_view word);

struct Token {
  std::uint32_t begin = 0;  // byte offset of the first byte
  std::uint32_t end = 0;    // byte offset one past the last byte
  std::uint32_t match = 0;  // brackets: index of the partner token; otherwise 0
  TokenKind kind = TokenKind::kWord;
  Keyword keyword = Keyword::kNone;  // words only

  std::string_view text(std::string_view sql) const { return sql.substr(begin, end - begin); }
};

enum class LexError : std::uint8_t {
  kNone,
  kUnterminatedString,
  kUnterminatedQuotedIdent,
  kUnterminatedComment,
  kUnexpectedCharacter,  // a byte no token of the dialect starts with (control bytes, \)
  kUnbalancedBrackets,   // a closing bracket without its opener, or of another kind
  kTooDeeplyNested,      // more than kMaxBracketDepth open brackets
  kTooLong,              // text of 4 GiB or more
};

struct LexStatus {
  LexError error = LexError::kNone;
  std::size_t offset = 0;  // where the error was found

  bool ok() const { return error == LexError::kNone; }
};

inline constexpr int kMaxBracketDepth = 200;

// Replaces the contents of `tokens` with the significant tokens of `sql`. On success
// every bracket token's `match` holds its partner's index. On failure `tokens` holds
// the tokens read before the error and the status says what went wrong and where.
LexStatus lex_sql(std::string_view sql, SqlDialect dialect, std::vector<Token>& tokens);

}  // namespace velko::platform::sql_lexer
