#include "velko/platform/sql_lexer/sql_lexer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velko::platform::sql_lexer {
namespace {

using ::testing::ElementsAreArray;

constexpr SqlDialect kPg = SqlDialect::kPostgres;
constexpr SqlDialect kSf = SqlDialect::kSnowflake;
constexpr SqlDialect kDb = SqlDialect::kDatabricks;

const char* kind_name(TokenKind kind) {
  switch (kind) {
    case TokenKind::kWord:
      return "word";
    case TokenKind::kQuotedIdent:
      return "ident";
    case TokenKind::kString:
      return "string";
    case TokenKind::kNumber:
      return "number";
    case TokenKind::kParameter:
      return "param";
    case TokenKind::kOperator:
      return "op";
    case TokenKind::kComma:
      return ",";
    case TokenKind::kSemicolon:
      return ";";
    case TokenKind::kDot:
      return ".";
    case TokenKind::kOpenParen:
      return "(";
    case TokenKind::kCloseParen:
      return ")";
    case TokenKind::kOpenBracket:
      return "[";
    case TokenKind::kCloseBracket:
      return "]";
    case TokenKind::kOpenBrace:
      return "{";
    case TokenKind::kCloseBrace:
      return "}";
  }
  return "?";
}

// "kind:text" for every token, so a failure shows the whole split.
std::vector<std::string> describe(std::string_view sql, SqlDialect dialect) {
  std::vector<Token> tokens;
  const LexStatus status = lex_sql(sql, dialect, tokens);
  std::vector<std::string> out;
  if (!status.ok()) return {"error"};
  for (const Token& token : tokens) {
    out.push_back(std::string(kind_name(token.kind)) + ":" + std::string(token.text(sql)));
  }
  return out;
}

struct SplitCase {
  const char* name;
  SqlDialect dialect;
  std::string_view sql;
  std::vector<std::string> tokens;
};

TEST(SqlLexerTest, SplitsEachDialectsQuotingAndComments) {
  const std::vector<SplitCase> cases = {
      // postgres strings: '' escapes, no backslash escapes; E'' has them; dollar quotes
      {"pg doubled quote", kPg, "'it''s' x", {"string:'it''s'", "word:x"}},
      {"pg backslash is plain", kPg, R"('a\' x)", {R"(string:'a\')", "word:x"}},
      {"pg E string", kPg, R"(E'a\'b' x)", {R"(string:E'a\'b')", "word:x"}},
      {"pg lower e string", kPg, R"(e'\\' x)", {R"(string:e'\\')", "word:x"}},
      {"pg dollar string", kPg, "$$it's ; --$$ x", {"string:$$it's ; --$$", "word:x"}},
      {"pg tagged dollar", kPg, "$t$ a $$ b $t$ x", {"string:$t$ a $$ b $t$", "word:x"}},
      {"pg positional param", kPg, "$1 + $12", {"param:$1", "op:+", "param:$12"}},
      {"pg dollar in word", kPg, "a$b", {"word:a$b"}},
      {"pg quoted ident", kPg, R"("a""b" x)", {R"(ident:"a""b")", "word:x"}},
      {"pg nested comment", kPg, "a /* x /* y */ z */ b", {"word:a", "word:b"}},
      {"pg line comment", kPg, "a -- b\nc", {"word:a", "word:c"}},
      {"pg slashes are operators", kPg, "a // b", {"word:a", "op://", "word:b"}},
      {"pg underscore number", kPg, "1_000", {"number:1_000"}},
      // snowflake: backslash escapes in '...', $$ only, // comments, flat /* */
      {"sf backslash escape", kSf, R"('a\'b' x)", {R"(string:'a\'b')", "word:x"}},
      {"sf doubled quote", kSf, "'a''b'", {"string:'a''b'"}},
      {"sf dollar string", kSf, "$$a'b$$", {"string:$$a'b$$"}},
      {"sf variable", kSf, "$var", {"param:$var"}},
      {"sf column position", kSf, "$1", {"param:$1"}},
      {"sf slash comment", kSf, "a // b\nc", {"word:a", "word:c"}},
      {"sf comments do not nest", kSf, "a /* /* */ b", {"word:a", "word:b"}},
      {"sf json path", kSf, "v:a.b", {"word:v", "op::", "word:a", ".:.", "word:b"}},
      {"sf bind name", kSf, "x = :n", {"word:x", "op:=", "param::n"}},
      {"sf cast", kSf, "x::int", {"word:x", "op:::", "word:int"}},
      // databricks: "..." is a string, backticks quote identifiers, r'' is raw
      {"db double quoted string", kDb, R"("a\"b" x)", {R"(string:"a\"b")", "word:x"}},
      {"db backticks", kDb, "`a``b` x", {"ident:`a``b`", "word:x"}},
      {"db raw string", kDb, R"(r'\d' x)", {R"(string:r'\d')", "word:x"}},
      {"db nested comment", kDb, "a /* /* */ */ b", {"word:a", "word:b"}},
      {"db numeric suffix", kDb, "10L 1.5BD", {"number:10L", "number:1.5BD"}},
      {"db hint comment", kDb, "SELECT /*+ BROADCAST(t) */ a", {"word:SELECT", "word:a"}},
      // every dialect
      {"numbers", kPg, "1.5e10 .5 1e-3 7.", {"number:1.5e10", "number:.5", "number:1e-3", "number:7."}},
      {"qualified name", kPg, "a.b.c", {"word:a", ".:.", "word:b", ".:.", "word:c"}},
      {"dot after a value", kPg, "t.5", {"word:t", ".:.", "number:5"}},
      {"operators stop at comments", kPg, "a=--x\n1", {"word:a", "op:=", "number:1"}},
      {"operator run", kPg, "a->>'k'", {"word:a", "op:->>", "string:'k'"}},
      {"qmark param", kPg, "a = ?", {"word:a", "op:=", "param:?"}},
      {"jsonb operator", kPg, "a ?| b", {"word:a", "op:?|", "word:b"}},
      {"unicode word", kPg, "имя", {"word:имя"}},
      {"punctuation", kPg, "f(a, b);", {"word:f", "(:(", "word:a", ",:,", "word:b", "):)", ";:;"}},
      {"brackets and braces", kSf, "[1]{}", {"[:[", "number:1", "]:]", "{:{", "}:}"}},
  };
  for (const SplitCase& test_case : cases) {
    SCOPED_TRACE(test_case.name);
    EXPECT_THAT(describe(test_case.sql, test_case.dialect), ElementsAreArray(test_case.tokens));
  }
}

struct ErrorCase {
  const char* name;
  SqlDialect dialect;
  std::string_view sql;
  LexError error;
  std::size_t offset;
};

TEST(SqlLexerTest, ReportsWhatStopsIt) {
  const std::vector<ErrorCase> cases = {
      {"unterminated string", kPg, "SELECT 'abc", LexError::kUnterminatedString, 7},
      {"pg backslash does not escape", kPg, R"('a\')", LexError::kNone, 0},
      {"sf backslash escapes the quote", kSf, R"('a\')", LexError::kUnterminatedString, 0},
      {"unterminated E string", kPg, R"(E'a\')", LexError::kUnterminatedString, 0},
      {"unterminated dollar", kPg, "$a$ x $b$", LexError::kUnterminatedString, 0},
      {"unterminated ident", kPg, "\"abc", LexError::kUnterminatedQuotedIdent, 0},
      {"unterminated comment", kPg, "a /* b", LexError::kUnterminatedComment, 2},
      {"nested comment left open", kPg, "/* /* */", LexError::kUnterminatedComment, 0},
      {"sf flat comment closes", kSf, "/* /* */", LexError::kNone, 0},
      {"backtick outside databricks", kPg, "`a`", LexError::kUnexpectedCharacter, 0},
      {"psql meta command", kPg, "\\d t", LexError::kUnexpectedCharacter, 0},
      {"control byte", kPg, std::string_view("a\0b", 3), LexError::kUnexpectedCharacter, 1},
      {"unopened paren", kPg, "a)", LexError::kUnbalancedBrackets, 1},
      {"unclosed paren", kPg, "(a", LexError::kUnbalancedBrackets, 0},
      {"crossed brackets", kPg, "([)]", LexError::kUnbalancedBrackets, 2},
  };
  for (const ErrorCase& test_case : cases) {
    SCOPED_TRACE(test_case.name);
    std::vector<Token> tokens;
    const LexStatus status = lex_sql(test_case.sql, test_case.dialect, tokens);
    EXPECT_EQ(status.error, test_case.error);
    if (!status.ok()) {
      EXPECT_EQ(status.offset, test_case.offset);
    }
  }
}

TEST(SqlLexerTest, PairsBrackets) {
  std::vector<Token> tokens;
  ASSERT_TRUE(lex_sql("f(a[1], (b))", kPg, tokens).ok());
  // f ( a [ 1 ] , ( b ) )
  // 0 1 2 3 4 5 6 7 8 9 10
  ASSERT_EQ(tokens.size(), 11u);
  EXPECT_EQ(tokens[1].match, 10u);
  EXPECT_EQ(tokens[10].match, 1u);
  EXPECT_EQ(tokens[3].match, 5u);
  EXPECT_EQ(tokens[7].match, 9u);
}

TEST(SqlLexerTest, LimitsNestingDepth) {
  std::vector<Token> tokens;
  const std::string deep_enough(kMaxBracketDepth, '(');
  const std::string closing(kMaxBracketDepth, ')');
  EXPECT_TRUE(lex_sql(deep_enough + closing, kPg, tokens).ok());
  EXPECT_EQ(lex_sql(deep_enough + "(" + ")" + closing, kPg, tokens).error, LexError::kTooDeeplyNested);
}

TEST(SqlLexerTest, ClassifiesKeywordsIgnoringCase) {
  const std::vector<std::pair<std::string_view, Keyword>> cases = {
      {"select", Keyword::kSelect},
      {"SeLeCt", Keyword::kSelect},
      {"LIMIT", Keyword::kLimit},
      {"materialized", Keyword::kMaterialized},
      {"distribute", Keyword::kDistribute},
      {"x", Keyword::kNone},
      {"selected", Keyword::kNone},
      {"limits", Keyword::kNone},
      {"", Keyword::kNone},
      {"materializedx", Keyword::kNone},
  };
  for (const auto& [word, keyword] : cases) {
    SCOPED_TRACE(std::string(word));
    EXPECT_EQ(classify_keyword(word), keyword);
  }
  std::vector<Token> tokens;
  ASSERT_TRUE(lex_sql("Order \"order\"", kPg, tokens).ok());
  EXPECT_EQ(tokens[0].keyword, Keyword::kOrder);
  EXPECT_EQ(tokens[1].keyword, Keyword::kNone);  // quoted: a name
}

TEST(SqlLexerTest, ParsesDialectNames) {
  EXPECT_EQ(parse_sql_dialect("postgres"), kPg);
  EXPECT_EQ(parse_sql_dialect("snowflake"), kSf);
  EXPECT_EQ(parse_sql_dialect("Databricks"), kDb);
  EXPECT_EQ(parse_sql_dialect("mysql"), kPg);
  EXPECT_EQ(parse_sql_dialect(""), kPg);
  for (SqlDialect dialect : {kPg, kSf, kDb}) {
    EXPECT_EQ(parse_sql_dialect(sql_dialect_name(dialect)), dialect);
  }
  EXPECT_EQ(sql_dialect_name(kDb), "databricks");
}

}  // namespace
}  // namespace velko::platform::sql_lexer
