#include "velko/platform/sql_lexer/sql_lexer.h"

#include <array>
#include <limits>

namespace velko::platform::sql_lexer {
namespace {

bool is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_alpha(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ident_start(unsigned char c) { return is_alpha(c) || c == '_' || c >= 0x80; }
bool is_operator_char(unsigned char c) {
  switch (c) {
    case '+':
    case '-':
    case '*':
    case '/':
    case '<':
    case '>':
    case '=':
    case '~':
    case '!':
    case '@':
    case '#':
    case '%':
    case '^':
    case '&':
    case '|':
    case '?':
      return true;
    default:
      return false;
  }
}
char lower_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool equals_ignore_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t idx = 0; idx < a.size(); ++idx) {
    if (lower_ascii(a[idx]) != lower_ascii(b[idx])) return false;
  }
  return true;
}

struct KeywordEntry {
  std::string_view word;
  Keyword keyword;
};

// Grouped by length so a lookup compares against a handful of entries at most.
constexpr KeywordEntry kKeywords2[] = {{"as", Keyword::kAs}, {"by", Keyword::kBy}, {"in", Keyword::kIn},
                                       {"is", Keyword::kIs}, {"no", Keyword::kNo}, {"on", Keyword::kOn},
                                       {"or", Keyword::kOr}};
constexpr KeywordEntry kKeywords3[] = {{"all", Keyword::kAll}, {"and", Keyword::kAnd}, {"for", Keyword::kFor},
                                       {"key", Keyword::kKey}, {"not", Keyword::kNot}, {"row", Keyword::kRow},
                                       {"top", Keyword::kTop}};
constexpr KeywordEntry kKeywords4[] = {{"case", Keyword::kCase}, {"else", Keyword::kElse}, {"from", Keyword::kFrom},
                                       {"into", Keyword::kInto}, {"join", Keyword::kJoin}, {"like", Keyword::kLike},
                                       {"name", Keyword::kName}, {"next", Keyword::kNext}, {"null", Keyword::kNull},
                                       {"only", Keyword::kOnly}, {"read", Keyword::kRead}, {"rows", Keyword::kRows},
                                       {"sort", Keyword::kSort}, {"then", Keyword::kThen}, {"ties", Keyword::kTies},
                                       {"when", Keyword::kWhen}, {"with", Keyword::kWith}};
constexpr KeywordEntry kKeywords5[] = {
    {"fetch", Keyword::kFetch}, {"first", Keyword::kFirst}, {"group", Keyword::kGroup}, {"ilike", Keyword::kIlike},
    {"limit", Keyword::kLimit}, {"merge", Keyword::kMerge}, {"minus", Keyword::kMinus}, {"order", Keyword::kOrder},
    {"rlike", Keyword::kRlike}, {"share", Keyword::kShare}, {"table", Keyword::kTable}, {"union", Keyword::kUnion},
    {"using", Keyword::kUsing}, {"where", Keyword::kWhere}};
constexpr KeywordEntry kKeywords6[] = {
    {"delete", Keyword::kDelete}, {"escape", Keyword::kEscape}, {"except", Keyword::kExcept},
    {"having", Keyword::kHaving}, {"insert", Keyword::kInsert}, {"offset", Keyword::kOffset},
    {"regexp", Keyword::kRegexp}, {"select", Keyword::kSelect}, {"update", Keyword::kUpdate},
    {"values", Keyword::kValues}, {"window", Keyword::kWindow}};
constexpr KeywordEntry kKeywords7[] = {{"between", Keyword::kBetween},
                                       {"cluster", Keyword::kCluster},
                                       {"qualify", Keyword::kQualify},
                                       {"similar", Keyword::kSimilar}};
constexpr KeywordEntry kKeywords8[] = {{"distinct", Keyword::kDistinct}};
constexpr KeywordEntry kKeywords9[] = {{"intersect", Keyword::kIntersect}, {"recursive", Keyword::kRecursive}};
constexpr KeywordEntry kKeywords10[] = {{"distribute", Keyword::kDistribute}};
constexpr KeywordEntry kKeywords12[] = {{"materialized", Keyword::kMaterialized}};

template <std::size_t N>
Keyword find_keyword(const KeywordEntry (&entries)[N], std::string_view lowered) {
  for (const KeywordEntry& entry : entries) {
    if (entry.word == lowered) return entry.keyword;
  }
  return Keyword::kNone;
}

// Reads SQL text into tokens. One instance lexes one text.
class Lexer {
 public:
  Lexer(std::string_view sql, SqlDialect dialect, std::vector<Token>& tokens)
      : sql_(sql), dialect_(dialect), tokens_(tokens) {}

  LexStatus run();

 private:
  unsigned char at(std::size_t pos) const { return pos < sql_.size() ? static_cast<unsigned char>(sql_[pos]) : '\0'; }
  bool is_ident_char(unsigned char c) const {
    return is_ident_start(c) || is_digit(c) || (c == '$' && dialect_ != SqlDialect::kDatabricks);
  }
  bool nested_block_comments() const { return dialect_ != SqlDialect::kSnowflake; }
  bool starts_comment(std::size_t pos) const;

  bool fail(LexError error, std::size_t offset) {
    status_ = {error, offset};
    return false;
  }
  void push(TokenKind kind, std::size_t begin, std::size_t end, Keyword keyword = Keyword::kNone) {
    Token token;
    token.begin = static_cast<std::uint32_t>(begin);
    token.end = static_cast<std::uint32_t>(end);
    token.kind = kind;
    token.keyword = keyword;
    tokens_.push_back(token);
    pos_ = end;
  }
  bool previous_ends_value() const;
  bool touches_previous() const { return !tokens_.empty() && tokens_.back().end == pos_; }

  bool lex_one();
  void skip_line_comment();
  bool skip_block_comment();
  bool lex_quoted(std::size_t token_begin, std::size_t quote_pos, TokenKind kind, bool backslash_escapes);
  bool lex_dollar();
  void lex_number();
  bool lex_word();
  void lex_colon();
  void lex_question();
  void lex_operator();
  bool open_bracket(TokenKind kind);
  bool close_bracket(TokenKind kind, TokenKind opener_kind);

  std::string_view sql_;
  SqlDialect dialect_;
  std::vector<Token>& tokens_;
  std::size_t pos_ = 0;
  std::array<std::uint32_t, kMaxBracketDepth> open_brackets_{};
  int depth_ = 0;
  LexStatus status_;
};

bool Lexer::starts_comment(std::size_t pos) const {
  const unsigned char c = at(pos);
  const unsigned char next = at(pos + 1);
  if (c == '-' && next == '-') return true;
  if (c == '/' && next == '*') return true;
  return c == '/' && next == '/' && dialect_ == SqlDialect::kSnowflake;
}

bool Lexer::previous_ends_value() const {
  if (tokens_.empty()) return false;
  switch (tokens_.back().kind) {
    case TokenKind::kWord:
    case TokenKind::kQuotedIdent:
    case TokenKind::kString:
    case TokenKind::kNumber:
    case TokenKind::kParameter:
    case TokenKind::kCloseParen:
    case TokenKind::kCloseBracket:
    case TokenKind::kCloseBrace:
      return true;
    default:
      return false;
  }
}

void Lexer::skip_line_comment() {
  while (pos_ < sql_.size() && sql_[pos_] != '\n' && sql_[pos_] != '\r') ++pos_;
}

bool Lexer::skip_block_comment() {
  const std::size_t start = pos_;
  int nesting = 0;
  while (pos_ < sql_.size()) {
    if (at(pos_) == '/' && at(pos_ + 1) == '*') {
      if (nesting == 0 || nested_block_comments()) ++nesting;
      pos_ += 2;
    } else if (at(pos_) == '*' && at(pos_ + 1) == '/') {
      pos_ += 2;
      if (--nesting == 0) return true;
    } else {
      ++pos_;
    }
  }
  return fail(LexError::kUnterminatedComment, start);
}

// Reads a quoted token whose quote character sits at `quote_pos`. A doubled quote is
// an escaped quote; with `backslash_escapes` a backslash escapes the next byte.
bool Lexer::lex_quoted(std::size_t token_begin, std::size_t quote_pos, TokenKind kind, bool backslash_escapes) {
  const char quote = sql_[quote_pos];
  std::size_t pos = quote_pos + 1;
  while (pos < sql_.size()) {
    const char c = sql_[pos];
    if (c == '\\' && backslash_escapes) {
      pos += 2;
    } else if (c == quote) {
      if (at(pos + 1) == static_cast<unsigned char>(quote)) {
        pos += 2;
      } else {
        push(kind, token_begin, pos + 1);
        return true;
      }
    } else {
      ++pos;
    }
  }
  return fail(kind == TokenKind::kString ? LexError::kUnterminatedString : LexError::kUnterminatedQuotedIdent,
              token_begin);
}

// `$`: a positional parameter, a dollar-quoted string, a Snowflake variable, or a lone
// operator character.
bool Lexer::lex_dollar() {
  const std::size_t start = pos_;
  if (is_digit(at(start + 1))) {
    std::size_t pos = start + 1;
    while (is_digit(at(pos))) ++pos;
    push(TokenKind::kParameter, start, pos);
    return true;
  }
  if (dialect_ == SqlDialect::kDatabricks) {
    push(TokenKind::kOperator, start, start + 1);
    return true;
  }
  std::size_t tag_end = start + 1;  // one past the tag
  if (dialect_ == SqlDialect::kPostgres && is_ident_start(at(tag_end))) {
    while (is_ident_start(at(tag_end)) || is_digit(at(tag_end))) ++tag_end;
  }
  if (at(tag_end) == '$') {
    const std::string_view delimiter = sql_.substr(start, tag_end + 1 - start);
    const std::size_t close = sql_.find(delimiter, tag_end + 1);
    if (close == std::string_view::npos) return fail(LexError::kUnterminatedString, start);
    push(TokenKind::kString, start, close + delimiter.size());
    return true;
  }
  if (dialect_ == SqlDialect::kSnowflake && is_ident_start(at(start + 1))) {
    std::size_t pos = start + 1;
    while (is_ident_char(at(pos))) ++pos;
    push(TokenKind::kParameter, start, pos);
    return true;
  }
  push(TokenKind::kOperator, start, start + 1);
  return true;
}

void Lexer::lex_number() {
  const std::size_t start = pos_;
  std::size_t pos = start;
  const bool postgres = dialect_ == SqlDialect::kPostgres;
  auto digits = [&] {
    while (is_digit(at(pos)) ||
           (postgres && at(pos) == '_' && is_digit(at(pos + 1)) && pos > start && is_digit(at(pos - 1)))) {
      ++pos;
    }
  };
  digits();
  if (at(pos) == '.' && at(pos + 1) != '.') {
    ++pos;
    digits();
  }
  if (at(pos) == 'e' || at(pos) == 'E') {
    std::size_t exponent = pos + 1;
    if (at(exponent) == '+' || at(exponent) == '-') ++exponent;
    if (is_digit(at(exponent))) {
      pos = exponent;
      digits();
    }
  }
  // Suffixes and radix forms (10L, 1.5BD, 0x1F) stay part of the number.
  while (is_ident_start(at(pos)) || is_digit(at(pos))) ++pos;
  push(TokenKind::kNumber, start, pos);
}

bool Lexer::lex_word() {
  const std::size_t start = pos_;
  std::size_t pos = start;
  while (is_ident_char(at(pos))) ++pos;
  const std::size_t length = pos - start;
  const unsigned char next = at(pos);
  if (length == 1) {
    const char prefix = lower_ascii(sql_[start]);
    if (prefix == 'e' && next == '\'' && dialect_ == SqlDialect::kPostgres) {
      return lex_quoted(start, pos, TokenKind::kString, /*backslash_escapes=*/true);
    }
    if (prefix == 'r' && (next == '\'' || next == '"') && dialect_ == SqlDialect::kDatabricks) {
      return lex_quoted(start, pos, TokenKind::kString, /*backslash_escapes=*/false);
    }
  }
  push(TokenKind::kWord, start, pos, classify_keyword(sql_.substr(start, length)));
  return true;
}

// "::" and ":=" are operators; ":name" and ":1" are parameters unless glued to a value
// before them (Snowflake's v:path); a lone ":" is an operator.
void Lexer::lex_colon() {
  const std::size_t start = pos_;
  const unsigned char next = at(start + 1);
  if (next == ':' || next == '=') {
    push(TokenKind::kOperator, start, start + 2);
    return;
  }
  const bool glued = touches_previous() && previous_ends_value();
  if ((is_ident_start(next) || is_digit(next)) && !glued) {
    std::size_t pos = start + 1;
    while (is_ident_char(at(pos))) ++pos;
    push(TokenKind::kParameter, start, pos);
    return;
  }
  push(TokenKind::kOperator, start, start + 1);
}

void Lexer::lex_question() {
  const unsigned char next = at(pos_ + 1);
  if (next == '|' || next == '&' || next == '-' || next == '?') {
    lex_operator();
    return;
  }
  push(TokenKind::kParameter, pos_, pos_ + 1);
}

void Lexer::lex_operator() {
  const std::size_t start = pos_;
  std::size_t pos = start + 1;
  while (is_operator_char(at(pos)) && !starts_comment(pos)) ++pos;
  push(TokenKind::kOperator, start, pos);
}

bool Lexer::open_bracket(TokenKind kind) {
  if (depth_ == kMaxBracketDepth) return fail(LexError::kTooDeeplyNested, pos_);
  open_brackets_[depth_++] = static_cast<std::uint32_t>(tokens_.size());
  push(kind, pos_, pos_ + 1);
  return true;
}

bool Lexer::close_bracket(TokenKind kind, TokenKind opener_kind) {
  if (depth_ == 0) return fail(LexError::kUnbalancedBrackets, pos_);
  const std::uint32_t opener = open_brackets_[depth_ - 1];
  if (tokens_[opener].kind != opener_kind) return fail(LexError::kUnbalancedBrackets, pos_);
  --depth_;
  const auto self = static_cast<std::uint32_t>(tokens_.size());
  push(kind, pos_, pos_ + 1);
  tokens_[opener].match = self;
  tokens_.back().match = opener;
  return true;
}

// Reads whatever starts at pos_: skips whitespace and comments, or adds one token.
bool Lexer::lex_one() {
  const unsigned char c = at(pos_);
  if (is_space(c)) {
    ++pos_;
    return true;
  }
  if (starts_comment(pos_)) {
    if (c == '/' && at(pos_ + 1) == '*') return skip_block_comment();
    skip_line_comment();
    return true;
  }
  if (is_ident_start(c)) return lex_word();
  if (is_digit(c) || (c == '.' && is_digit(at(pos_ + 1)) && !(touches_previous() && previous_ends_value()))) {
    lex_number();
    return true;
  }
  switch (c) {
    case '\'':
      return lex_quoted(pos_, pos_, TokenKind::kString,
                        /*backslash_escapes=*/dialect_ != SqlDialect::kPostgres);
    case '"':
      if (dialect_ == SqlDialect::kDatabricks) {
        return lex_quoted(pos_, pos_, TokenKind::kString, /*backslash_escapes=*/true);
      }
      return lex_quoted(pos_, pos_, TokenKind::kQuotedIdent, /*backslash_escapes=*/false);
    case '`':
      if (dialect_ != SqlDialect::kDatabricks) {
        return fail(LexError::kUnexpectedCharacter, pos_);
      }
      return lex_quoted(pos_, pos_, TokenKind::kQuotedIdent, /*backslash_escapes=*/false);
    case '$':
      return lex_dollar();
    case '(':
      return open_bracket(TokenKind::kOpenParen);
    case '[':
      return open_bracket(TokenKind::kOpenBracket);
    case '{':
      return open_bracket(TokenKind::kOpenBrace);
    case ')':
      return close_bracket(TokenKind::kCloseParen, TokenKind::kOpenParen);
    case ']':
      return close_bracket(TokenKind::kCloseBracket, TokenKind::kOpenBracket);
    case '}':
      return close_bracket(TokenKind::kCloseBrace, TokenKind::kOpenBrace);
    case ',':
      push(TokenKind::kComma, pos_, pos_ + 1);
      return true;
    case ';':
      push(TokenKind::kSemicolon, pos_, pos_ + 1);
      return true;
    case '.':
      push(TokenKind::kDot, pos_, pos_ + 1);
      return true;
    case ':':
      lex_colon();
      return true;
    case '?':
      lex_question();
      return true;
    default:
      break;
  }
  if (is_operator_char(c)) {
    lex_operator();
    return true;
  }
  return fail(LexError::kUnexpectedCharacter, pos_);
}

LexStatus Lexer::run() {
  tokens_.clear();
  if (sql_.size() >= std::numeric_limits<std::uint32_t>::max()) {
    status_ = {LexError::kTooLong, 0};
    return status_;
  }
  while (pos_ < sql_.size()) {
    if (!lex_one()) return status_;
  }
  if (depth_ != 0) {
    status_ = {LexError::kUnbalancedBrackets, tokens_[open_brackets_[depth_ - 1]].begin};
  }
  return status_;
}

}  // namespace

SqlDialect parse_sql_dialect(std::string_view name) {
  if (equals_ignore_case(name, "snowflake")) return SqlDialect::kSnowflake;
  if (equals_ignore_case(name, "databricks")) return SqlDialect::kDatabricks;
  return SqlDialect::kPostgres;
}

std::string_view sql_dialect_name(SqlDialect dialect) {
  switch (dialect) {
    case SqlDialect::kSnowflake:
      return "snowflake";
    case SqlDialect::kDatabricks:
      return "databricks";
    case SqlDialect::kPostgres:
      break;
  }
  return "postgres";
}

Keyword classify_keyword(std::string_view word) {
  constexpr std::size_t kLongestKeyword = 12;
  if (word.size() < 2 || word.size() > kLongestKeyword) return Keyword::kNone;
  char buffer[kLongestKeyword];
  for (std::size_t idx = 0; idx < word.size(); ++idx) buffer[idx] = lower_ascii(word[idx]);
  const std::string_view lowered(buffer, word.size());
  switch (word.size()) {
    case 2:
      return find_keyword(kKeywords2, lowered);
    case 3:
      return find_keyword(kKeywords3, lowered);
    case 4:
      return find_keyword(kKeywords4, lowered);
    case 5:
      return find_keyword(kKeywords5, lowered);
    case 6:
      return find_keyword(kKeywords6, lowered);
    case 7:
      return find_keyword(kKeywords7, lowered);
    case 8:
      return find_keyword(kKeywords8, lowered);
    case 9:
      return find_keyword(kKeywords9, lowered);
    case 10:
      return find_keyword(kKeywords10, lowered);
    case 12:
      return find_keyword(kKeywords12, lowered);
    default:
      return Keyword::kNone;
  }
}

LexStatus lex_sql(std::string_view sql, SqlDialect dialect, std::vector<Token>& tokens) {
  return Lexer(sql, dialect, tokens).run();
}

}  // namespace velko::platform::sql_lexer
