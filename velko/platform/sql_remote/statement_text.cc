#include "velko/platform/sql_remote/statement_text.h"

#include <cctype>
#include <vector>

#include "velko/base/errors.h"
#include "velko/base/strings.h"
#include "velko/platform/sql_lexer/sql_lexer.h"

namespace velko::platform::sql_remote {
namespace {

using sql_lexer::Keyword;
using sql_lexer::Token;
using sql_lexer::TokenKind;

}  // namespace

std::string single_statement(std::string_view sql) {
  std::vector<Token> tokens;
  sql_lexer::LexStatus status = sql_lexer::lex_sql(sql, sql_lexer::SqlDialect::kDatabricks, tokens);
  if (!status.ok()) return std::string(sql);
  // The statement ends at the first semicolon; only semicolons may follow it.
  size_t end = tokens.size();
  for (size_t idx = 0; idx < tokens.size(); ++idx) {
    if (tokens[idx].kind == TokenKind::kSemicolon) {
      end = idx;
      break;
    }
  }
  for (size_t idx = end; idx < tokens.size(); ++idx) {
    if (tokens[idx].kind != TokenKind::kSemicolon) throw base::DatabaseError(ONE_STATEMENT_ONLY);
  }
  if (end == 0) throw base::DatabaseError(EMPTY_STATEMENT);
  if (end == tokens.size()) return std::string(sql);
  return std::string(sql.substr(0, tokens[end].begin));
}

void ensure_read_only(std::string_view statement) {
  static const char* const kRefused =
      "Only statements that read data can be run here (SELECT, WITH, VALUES, TABLE, SHOW, DESCRIBE, EXPLAIN)";
  std::vector<Token> tokens;
  sql_lexer::LexStatus status = sql_lexer::lex_sql(statement, sql_lexer::SqlDialect::kDatabricks, tokens);
  if (!status.ok()) throw base::DatabaseError(std::string(kRefused) + ": the statement could not be read");
  size_t first = 0;
  while (first < tokens.size() && tokens[first].kind == TokenKind::kOpenParen) ++first;
  if (first >= tokens.size() || tokens[first].kind != TokenKind::kWord) throw base::DatabaseError(kRefused);
  const std::string head = base::ascii_upper(tokens[first].text(statement));
  static const char* const kReaders[] = {"SELECT", "WITH",     "VALUES", "TABLE",   "FROM",
                                         "SHOW",   "DESCRIBE", "DESC",   "EXPLAIN", "LIST"};
  bool reads = false;
  for (const char* reader : kReaders) reads = reads || head == reader;
  if (!reads) throw base::DatabaseError(kRefused);
  int depth = 0;
  for (size_t idx = 0; idx < tokens.size(); ++idx) {
    const Token& token = tokens[idx];
    if (token.kind == TokenKind::kOpenParen) ++depth;
    if (token.kind == TokenKind::kCloseParen) --depth;
    if (depth > 0 || token.kind != TokenKind::kWord) continue;
    bool write = token.keyword == Keyword::kInsert || token.keyword == Keyword::kUpdate ||
                 token.keyword == Keyword::kDelete || token.keyword == Keyword::kMerge;
    // A function of that name (replace(...)) or a qualified column (t.update) is no write.
    bool call = idx + 1 < tokens.size() && tokens[idx + 1].kind == TokenKind::kOpenParen;
    bool qualified = idx > 0 && tokens[idx - 1].kind == TokenKind::kDot;
    if (write && !call && !qualified) throw base::DatabaseError(kRefused);
  }
}

}  // namespace velko::platform::sql_remote
