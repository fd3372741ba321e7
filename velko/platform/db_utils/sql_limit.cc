#include "velko/platform/db_utils/sql_limit.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "velko/platform/sql_lexer/sql_lexer.h"

namespace velko::platform::db_utils {
namespace {

using sql_lexer::classify_keyword;
using sql_lexer::Keyword;
using sql_lexer::lex_sql;
using sql_lexer::LexError;
using sql_lexer::LexStatus;
using sql_lexer::SqlDialect;
using sql_lexer::Token;
using sql_lexer::TokenKind;

constexpr std::uint32_t kNoToken = std::numeric_limits<std::uint32_t>::max();

// ---------------------------------------------------------------------------------
// Numeric literals
// ---------------------------------------------------------------------------------

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// True for [digits][.digits][(e|E)[+|-]digits] with at least one mantissa digit;
// underscores may separate digits (PostgreSQL 16).
bool is_plain_decimal(std::string_view text) {
  std::size_t pos = 0;
  bool mantissa_digit = false;
  bool point = false;
  for (; pos < text.size(); ++pos) {
    const char c = text[pos];
    if (is_digit(c)) {
      mantissa_digit = true;
    } else if (c == '_' && mantissa_digit) {
      continue;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (!mantissa_digit) return false;
  if (pos == text.size()) return true;
  if (text[pos] != 'e' && text[pos] != 'E') return false;
  ++pos;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) ++pos;
  if (pos == text.size()) return false;
  for (; pos < text.size(); ++pos) {
    if (!is_digit(text[pos])) return false;
  }
  return true;
}

// Compares the exact value of a plain decimal literal with `cap` (>= 0): -1, 0 or 1.
int compare_decimal(std::string_view text, long long cap) {
  std::string significant;  // digits without leading zeros
  long long exponent = 0;   // value = significant * 10^exponent
  bool point = false;
  std::size_t pos = 0;
  for (; pos < text.size(); ++pos) {
    const char c = text[pos];
    if (c == '_') continue;
    if (c == '.') {
      point = true;
      continue;
    }
    if (!is_digit(c)) break;
    if (point) --exponent;
    if (significant.empty() && c == '0') continue;
    significant.push_back(c);
  }
  if (pos < text.size()) {  // exponent part
    ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
      negative = text[pos++] == '-';
    }
    long long written = 0;
    constexpr long long kExponentClamp = 1'000'000'000;
    for (; pos < text.size(); ++pos) {
      written = written * 10 + (text[pos] - '0');
      if (written > kExponentClamp) written = kExponentClamp;
    }
    exponent += negative ? -written : written;
  }
  while (!significant.empty() && significant.back() == '0') {
    significant.pop_back();
    ++exponent;
  }
  if (significant.empty()) return cap > 0 ? -1 : 0;
  if (cap == 0) return 1;
  const std::string cap_digits = std::to_string(cap);
  const long long value_magnitude = static_cast<long long>(significant.size()) + exponent;
  const auto cap_magnitude = static_cast<long long>(cap_digits.size());
  if (value_magnitude != cap_magnitude) return value_magnitude < cap_magnitude ? -1 : 1;
  const std::size_t width = std::max(significant.size(), cap_digits.size());
  for (std::size_t idx = 0; idx < width; ++idx) {
    const char value_digit = idx < significant.size() ? significant[idx] : '0';
    const char cap_digit = idx < cap_digits.size() ? cap_digits[idx] : '0';
    if (value_digit != cap_digit) return value_digit < cap_digit ? -1 : 1;
  }
  return 0;
}

// True when `text` is `lower_word` in any letter case.
bool is_word(std::string_view text, std::string_view lower_word) {
  if (text.size() != lower_word.size()) return false;
  for (std::size_t idx = 0; idx < text.size(); ++idx) {
    const char c = text[idx];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c) != lower_word[idx]) return false;
  }
  return true;
}

// The text between a string literal's delimiters: 'x', E'x', r'x', "x", $$x$$, $t$x$t$.
std::string_view string_content(std::string_view literal) {
  if (literal.empty()) return literal;
  if (literal.front() == '$') {
    const std::size_t tag_end = literal.find('$', 1);
    const std::size_t delimiter = tag_end + 1;
    if (tag_end == std::string_view::npos || literal.size() < 2 * delimiter) return {};
    return literal.substr(delimiter, literal.size() - 2 * delimiter);
  }
  const std::size_t quote = literal.find_first_of("'\"");
  if (quote == std::string_view::npos || literal.size() < quote + 2) return {};
  return literal.substr(quote + 1, literal.size() - quote - 2);
}

// ---------------------------------------------------------------------------------
// The shape of a query: where its outermost row limit is, or where one would go
// ---------------------------------------------------------------------------------

struct LimitSlot {
  enum class Kind : std::uint8_t {
    kNone,         // no row limit
    kLiteral,      // a number, a quoted number, or a signed number
    kUnbounded,    // ALL, NULL, '' : no limit at all
    kExpression,   // anything else: parameter, arithmetic, subquery
    kImplicitOne,  // FETCH FIRST ROW ONLY
  };
  Kind kind = Kind::kNone;
  std::uint32_t value_begin = 0;  // token range of the value as written
  std::uint32_t value_end = 0;
  std::uint32_t literal = 0;  // the token to rewrite; for kImplicitOne the FIRST/NEXT word
  bool negative = false;
  bool with_ties = false;  // FETCH ... WITH TIES: rows tied with the last one come too
};

struct QueryShape {
  LimitSlot limit;
  std::uint32_t insert_after = 0;  // token after which " LIMIT n" goes
};

struct TermInfo {
  bool parenthesised = false;
  LimitSlot top;     // Snowflake SELECT TOP n
  QueryShape inner;  // the parenthesised query's own shape
};

struct TailInfo {
  LimitSlot limit;
  bool empty = true;
  bool has_offset = false;
  bool has_lock = false;
  std::uint32_t first_trailing = kNoToken;  // first OFFSET or FOR clause
};

// Reads one statement's tokens structurally. Every read_* function advances `pos`
// past what it read and returns false when the tokens do not form what it reads.
class QueryReader {
 public:
  QueryReader(std::string_view sql, const std::vector<Token>& tokens, std::uint32_t count, SqlDialect dialect)
      : sql_(sql), tokens_(tokens), count_(count), dialect_(dialect) {}

  bool read_query(std::uint32_t begin, std::uint32_t end, QueryShape* shape);
  bool group_holds_query(std::uint32_t open) const;
  bool writes_table() const { return writes_table_; }
  // True once the statement turned out to be WITH ... INSERT / UPDATE / DELETE / MERGE.
  bool modifies_data() const { return modifies_data_; }

 private:
  const Token& tok(std::uint32_t idx) const { return tokens_[idx]; }
  TokenKind kind(std::uint32_t idx) const { return idx < count_ ? tokens_[idx].kind : TokenKind::kSemicolon; }
  Keyword raw_keyword(std::uint32_t idx) const {
    return idx < count_ && tokens_[idx].kind == TokenKind::kWord ? tokens_[idx].keyword : Keyword::kNone;
  }
  // The keyword a word plays where it stands: none after "." and AS, or glued to a
  // ":" or "::" before it (Snowflake's v:path, casts), where any word is a name.
  Keyword kw(std::uint32_t idx) const {
    const Keyword keyword = raw_keyword(idx);
    if (keyword == Keyword::kNone || idx == 0) return keyword;
    const Token& previous = tokens_[idx - 1];
    if (previous.kind == TokenKind::kDot || raw_keyword(idx - 1) == Keyword::kAs) {
      return Keyword::kNone;
    }
    if (previous.kind == TokenKind::kOperator && previous.end == tokens_[idx].begin) {
      const std::string_view op = previous.text(sql_);
      if (op == ":" || op == "::") return Keyword::kNone;
    }
    return keyword;
  }
  bool is_star(std::uint32_t idx) const { return kind(idx) == TokenKind::kOperator && tok(idx).text(sql_) == "*"; }
  bool is_open(std::uint32_t idx) const {
    const TokenKind k = kind(idx);
    return k == TokenKind::kOpenParen || k == TokenKind::kOpenBracket || k == TokenKind::kOpenBrace;
  }

  bool is_set_operation(std::uint32_t idx) const;
  bool is_tail_start(std::uint32_t idx, std::uint32_t end) const;
  bool is_lock_start(std::uint32_t idx, std::uint32_t end) const;
  bool is_boundary(std::uint32_t idx, std::uint32_t end) const {
    return is_set_operation(idx) || is_tail_start(idx, end);
  }

  bool read_with(std::uint32_t& pos, std::uint32_t end);
  bool read_cte(std::uint32_t& pos, std::uint32_t end);
  bool read_body(std::uint32_t& pos, std::uint32_t end, TermInfo* first, std::uint32_t* term_count);
  bool read_term(std::uint32_t& pos, std::uint32_t end, TermInfo* term);
  bool read_select_core(std::uint32_t& pos, std::uint32_t end, TermInfo* term);
  bool read_tail(std::uint32_t& pos, std::uint32_t end, TailInfo* tail);
  bool read_tail_clause(std::uint32_t& pos, std::uint32_t end, TailInfo* tail);
  bool read_ordering(std::uint32_t& pos, std::uint32_t end, std::uint32_t keyword_count, const TailInfo& tail);
  bool read_limit(std::uint32_t& pos, std::uint32_t end, TailInfo* tail);
  bool read_fetch(std::uint32_t& pos, std::uint32_t end, TailInfo* tail);
  bool read_lock(std::uint32_t& pos, std::uint32_t end);
  bool read_group(std::uint32_t open);

  struct RunRules {
    bool stop_at_boundaries = false;  // a clause: stop at set operations and tail clauses
    bool allow_empty = false;
    bool lenient_end = false;  // [] and {} may end on an operator (a[1:])
    bool select_list = false;  // a SELECT core: note INTO
  };
  bool read_run(std::uint32_t& pos, std::uint32_t end, const RunRules& rules);
  bool operator_needs_operand(std::uint32_t idx, int& open_angles) const;
  bool read_clause(std::uint32_t& pos, std::uint32_t end) {
    return read_run(pos, end, RunRules{.stop_at_boundaries = true});
  }

  LimitSlot classify_limit_value(std::uint32_t begin, std::uint32_t end) const;

  std::string_view sql_;
  const std::vector<Token>& tokens_;
  std::uint32_t count_;
  SqlDialect dialect_;
  bool writes_table_ = false;
  bool modifies_data_ = false;
};

// A keyword that must be followed by an operand: a run may not end on it, nor may a
// comma or a clause keyword follow it.
bool needs_operand_after(Keyword keyword) {
  switch (keyword) {
    case Keyword::kAnd:
    case Keyword::kOr:
    case Keyword::kNot:
    case Keyword::kIn:
    case Keyword::kIs:
    case Keyword::kLike:
    case Keyword::kIlike:
    case Keyword::kSimilar:
    case Keyword::kRlike:
    case Keyword::kRegexp:
    case Keyword::kBetween:
    case Keyword::kOn:
    case Keyword::kJoin:
    case Keyword::kAs:
    case Keyword::kBy:
    case Keyword::kWhen:
    case Keyword::kThen:
    case Keyword::kElse:
    case Keyword::kCase:
    case Keyword::kUsing:
    case Keyword::kEscape:
    case Keyword::kWindow:
    case Keyword::kInto:
      return true;
    default:
      return false;
  }
}

// Keywords that open a clause of a SELECT: they need an operand and may not follow an
// operator or another keyword that needs one.
bool is_clause_keyword(Keyword keyword) {
  switch (keyword) {
    case Keyword::kFrom:
    case Keyword::kWhere:
    case Keyword::kHaving:
    case Keyword::kQualify:
    case Keyword::kGroup:
      return true;
    default:
      return false;
  }
}

bool is_data_modification(Keyword keyword) {
  return keyword == Keyword::kInsert || keyword == Keyword::kUpdate || keyword == Keyword::kDelete ||
         keyword == Keyword::kMerge;
}

bool QueryReader::is_set_operation(std::uint32_t idx) const {
  switch (kw(idx)) {
    case Keyword::kUnion:
    case Keyword::kIntersect:
      return true;
    case Keyword::kExcept:  // "SELECT * EXCEPT (col)" is a star modifier
      return !(idx > 0 && is_star(idx - 1));
    case Keyword::kMinus:
      return dialect_ != SqlDialect::kPostgres;
    default:
      return false;
  }
}

bool QueryReader::is_lock_start(std::uint32_t idx, std::uint32_t end) const {
  if (kw(idx) != Keyword::kFor || idx + 1 >= end) return false;
  const Keyword next = raw_keyword(idx + 1);
  if (dialect_ == SqlDialect::kPostgres) {
    return next == Keyword::kUpdate || next == Keyword::kShare || next == Keyword::kNo || next == Keyword::kKey ||
           next == Keyword::kRead;
  }
  return dialect_ == SqlDialect::kSnowflake && next == Keyword::kUpdate;
}

bool QueryReader::is_tail_start(std::uint32_t idx, std::uint32_t end) const {
  const Keyword keyword = kw(idx);
  const Keyword next = idx + 1 < end ? raw_keyword(idx + 1) : Keyword::kNone;
  switch (keyword) {
    case Keyword::kLimit:
    case Keyword::kOffset:
      return true;
    case Keyword::kOrder:
      return next == Keyword::kBy;
    case Keyword::kFetch:
      return next == Keyword::kFirst || next == Keyword::kNext;
    case Keyword::kFor:
      return is_lock_start(idx, end);
    case Keyword::kCluster:
    case Keyword::kDistribute:
    case Keyword::kSort:
      return dialect_ == SqlDialect::kDatabricks && next == Keyword::kBy;
    default:
      return false;
  }
}

// True when the parenthesised group opened at `open` holds a query rather than an
// expression: it starts with SELECT / WITH / VALUES / TABLE, or with a parenthesised
// query followed by nothing, a set operation or a trailing clause.
bool QueryReader::group_holds_query(std::uint32_t open) const {
  if (kind(open) != TokenKind::kOpenParen) return false;
  const std::uint32_t first = open + 1;
  const std::uint32_t close = tok(open).match;
  if (first == close) return false;
  switch (raw_keyword(first)) {
    case Keyword::kSelect:
    case Keyword::kWith:
      return true;
    case Keyword::kValues:  // (VALUES (1), (2)), not (values, 1) where it is a name
      return first + 1 < close && kind(first + 1) != TokenKind::kComma;
    case Keyword::kTable:
      return dialect_ != SqlDialect::kSnowflake && first + 1 < close &&
             (kind(first + 1) == TokenKind::kWord || kind(first + 1) == TokenKind::kQuotedIdent);
    default:
      break;
  }
  if (kind(first) == TokenKind::kOpenParen && group_holds_query(first)) {
    const std::uint32_t after = tok(first).match + 1;
    return after == close || is_boundary(after, close);
  }
  return false;
}

// Checks the contents of the bracket group opened at `open`: a query is read as one;
// anything else as an expression run.
bool QueryReader::read_group(std::uint32_t open) {
  const std::uint32_t close = tok(open).match;
  if (group_holds_query(open)) return read_query(open + 1, close, nullptr);
  std::uint32_t pos = open + 1;
  const bool paren = kind(open) == TokenKind::kOpenParen;
  return read_run(pos, close, RunRules{.allow_empty = true, .lenient_end = !paren}) && pos == close;
}

// Reads a run of expression tokens (a clause body, a group's contents), checking that
// no operator, comma or operand-taking keyword dangles.
bool QueryReader::read_run(std::uint32_t& pos, std::uint32_t end, const RunRules& rules) {
  bool needs_operand = true;
  bool at_start = true;
  int open_angles = 0;  // "<" of type parameters still open: ARRAY<INT>, MAP<K, V>
  for (; pos < end; at_start = false) {
    if (rules.stop_at_boundaries && is_boundary(pos, end)) break;
    switch (kind(pos)) {
      case TokenKind::kOpenParen:
      case TokenKind::kOpenBracket:
      case TokenKind::kOpenBrace:
        if (!read_group(pos)) return false;
        pos = tok(pos).match + 1;
        needs_operand = false;
        continue;
      case TokenKind::kCloseParen:
      case TokenKind::kCloseBracket:
      case TokenKind::kCloseBrace:
      case TokenKind::kSemicolon:
        return false;
      case TokenKind::kComma:
        if (needs_operand) return false;
        needs_operand = true;
        break;
      case TokenKind::kDot:
        needs_operand = true;
        break;
      case TokenKind::kOperator:
        needs_operand = operator_needs_operand(pos, open_angles);
        break;
      case TokenKind::kWord: {
        const Keyword keyword = kw(pos);
        // SELECT only starts a query term; WITH starts one where an operand is due.
        if (keyword == Keyword::kSelect || (keyword == Keyword::kWith && needs_operand)) {
          return false;
        }
        if (is_clause_keyword(keyword)) {
          if (needs_operand && !at_start) return false;
          needs_operand = true;
        } else {
          needs_operand = needs_operand_after(keyword);
        }
        if (keyword == Keyword::kInto && rules.select_list) writes_table_ = true;
        break;
      }
      default:
        needs_operand = false;
        break;
    }
    ++pos;
  }
  if (at_start) return rules.allow_empty;
  return !needs_operand || rules.lenient_end;
}

// Whether the operator at `idx` needs an operand after it. "*" does not: it is the
// star ("SELECT *", "DISTINCT ON (a) *") or a product whose right side is checked by
// what follows. Nor does an operator after USING (ORDER BY a USING >), nor a ">" that
// closes a type parameter list (CAST(a AS MAP<INT, INT>)).
bool QueryReader::operator_needs_operand(std::uint32_t idx, int& open_angles) const {
  const std::string_view op = tok(idx).text(sql_);
  if (op == "*") return false;
  if (idx > 0 && kw(idx - 1) == Keyword::kUsing) return false;
  if (op == "<") {
    ++open_angles;
    return true;
  }
  if (open_angles > 0 && op.find_first_not_of('>') == std::string_view::npos) {
    open_angles -= std::min(open_angles, static_cast<int>(op.size()));
    return false;
  }
  return true;
}

// WITH [RECURSIVE] cte [, cte ...]
bool QueryReader::read_with(std::uint32_t& pos, std::uint32_t end) {
  ++pos;
  if (raw_keyword(pos) == Keyword::kRecursive) ++pos;
  while (true) {
    if (pos >= end || !read_cte(pos, end)) return false;
    if (pos >= end || kind(pos) != TokenKind::kComma) return true;
    ++pos;
  }
}

// name [(columns)] [AS] [[NOT] MATERIALIZED] (statement)
bool QueryReader::read_cte(std::uint32_t& pos, std::uint32_t end) {
  if (kind(pos) != TokenKind::kWord && kind(pos) != TokenKind::kQuotedIdent) return false;
  ++pos;
  if (pos < end && kind(pos) == TokenKind::kOpenParen && !group_holds_query(pos)) {
    if (!read_group(pos)) return false;
    pos = tok(pos).match + 1;
  }
  if (pos < end && raw_keyword(pos) == Keyword::kAs) ++pos;
  if (pos + 1 < end && raw_keyword(pos) == Keyword::kNot && raw_keyword(pos + 1) == Keyword::kMaterialized) {
    pos += 2;
  } else if (pos < end && raw_keyword(pos) == Keyword::kMaterialized) {
    ++pos;
  }
  if (pos >= end || kind(pos) != TokenKind::kOpenParen) return false;
  const std::uint32_t close = tok(pos).match;
  if (group_holds_query(pos)) {
    if (!read_query(pos + 1, close, nullptr)) return false;
  } else if (dialect_ != SqlDialect::kPostgres || pos + 1 == close || !is_data_modification(raw_keyword(pos + 1))) {
    return false;  // PostgreSQL's data-modifying CTEs are the only other bodies
  }
  pos = close + 1;
  return true;
}

// term [set_operation term ...]
bool QueryReader::read_body(std::uint32_t& pos, std::uint32_t end, TermInfo* first, std::uint32_t* term_count) {
  if (!read_term(pos, end, first)) return false;
  *term_count = 1;
  while (pos < end && is_set_operation(pos)) {
    ++pos;
    const Keyword quantifier = raw_keyword(pos);
    if (quantifier == Keyword::kAll || quantifier == Keyword::kDistinct) ++pos;
    if (dialect_ != SqlDialect::kPostgres && raw_keyword(pos) == Keyword::kBy &&
        raw_keyword(pos + 1) == Keyword::kName) {
      pos += 2;
    }
    TermInfo term;
    if (!read_term(pos, end, &term)) return false;
    ++*term_count;
  }
  return true;
}

// SELECT ... | VALUES ... | TABLE name | (query)
bool QueryReader::read_term(std::uint32_t& pos, std::uint32_t end, TermInfo* term) {
  if (pos >= end) return false;
  if (kind(pos) == TokenKind::kOpenParen) {
    const std::uint32_t close = tok(pos).match;
    if (!group_holds_query(pos) || !read_query(pos + 1, close, &term->inner)) return false;
    term->parenthesised = true;
    pos = close + 1;
    return true;
  }
  switch (raw_keyword(pos)) {
    case Keyword::kSelect:
      ++pos;
      return read_select_core(pos, end, term);
    case Keyword::kValues:
      ++pos;
      return read_clause(pos, end);
    case Keyword::kTable:
      if (dialect_ == SqlDialect::kSnowflake) return false;
      ++pos;
      return read_clause(pos, end);
    default:
      return false;
  }
}

// The body of a SELECT after its keyword, up to a set operation or trailing clause.
bool QueryReader::read_select_core(std::uint32_t& pos, std::uint32_t end, TermInfo* term) {
  if (dialect_ == SqlDialect::kSnowflake) {  // SELECT [ALL | DISTINCT] TOP n
    std::uint32_t top = pos;
    const Keyword quantifier = raw_keyword(top);
    if (quantifier == Keyword::kAll || quantifier == Keyword::kDistinct) ++top;
    if (top + 1 < end && raw_keyword(top) == Keyword::kTop && kind(top + 1) == TokenKind::kNumber) {
      term->top = classify_limit_value(top + 1, top + 2);
      pos = top + 2;
    }
  }
  return read_run(
      pos, end,
      RunRules{.stop_at_boundaries = true, .allow_empty = dialect_ == SqlDialect::kPostgres, .select_list = true});
}

// The clauses after the query body: ORDER BY, LIMIT, OFFSET, FETCH, FOR UPDATE, and
// Databricks' CLUSTER / DISTRIBUTE / SORT BY and WINDOW.
bool QueryReader::read_tail(std::uint32_t& pos, std::uint32_t end, TailInfo* tail) {
  while (pos < end) {
    if (!read_tail_clause(pos, end, tail)) return false;
    tail->empty = false;
  }
  return true;
}

bool QueryReader::read_tail_clause(std::uint32_t& pos, std::uint32_t end, TailInfo* tail) {
  const Keyword keyword = kw(pos);
  if (!is_tail_start(pos, end)) {
    return dialect_ == SqlDialect::kDatabricks && keyword == Keyword::kWindow && read_ordering(pos, end, 1, *tail);
  }
  switch (keyword) {
    case Keyword::kLimit:
      return read_limit(pos, end, tail);
    case Keyword::kFetch:
      return read_fetch(pos, end, tail);
    case Keyword::kOffset:
      if (tail->has_offset) return false;
      tail->has_offset = true;
      if (tail->first_trailing == kNoToken) tail->first_trailing = pos;
      ++pos;
      return read_clause(pos, end);
    case Keyword::kFor:
      tail->has_lock = true;
      if (tail->first_trailing == kNoToken) tail->first_trailing = pos;
      return read_lock(pos, end);
    default:  // ORDER BY, CLUSTER BY, DISTRIBUTE BY, SORT BY
      return read_ordering(pos, end, 2, *tail);
  }
}

// An ordering clause comes before any row limit, offset or lock.
bool QueryReader::read_ordering(std::uint32_t& pos, std::uint32_t end, std::uint32_t keyword_count,
                                const TailInfo& tail) {
  if (tail.limit.kind != LimitSlot::Kind::kNone || tail.has_offset || tail.has_lock) {
    return false;
  }
  pos += keyword_count;
  return read_clause(pos, end);
}

// LIMIT value
bool QueryReader::read_limit(std::uint32_t& pos, std::uint32_t end, TailInfo* tail) {
  if (tail->limit.kind != LimitSlot::Kind::kNone) return false;
  const std::uint32_t value_begin = ++pos;
  if (!read_clause(pos, end)) return false;
  tail->limit = classify_limit_value(value_begin, pos);
  return tail->limit.kind != LimitSlot::Kind::kNone;
}

// FETCH {FIRST | NEXT} [count] {ROW | ROWS} {ONLY | WITH TIES}
bool QueryReader::read_fetch(std::uint32_t& pos, std::uint32_t end, TailInfo* tail) {
  if (tail->limit.kind != LimitSlot::Kind::kNone) return false;
  const std::uint32_t first_word = pos + 1;
  const std::uint32_t count_begin = pos + 2;
  std::uint32_t count_end = count_begin;
  while (count_end < end && kw(count_end) != Keyword::kRow && kw(count_end) != Keyword::kRows) {
    if (is_boundary(count_end, end)) return false;
    count_end = is_open(count_end) ? tok(count_end).match + 1 : count_end + 1;
  }
  if (count_end >= end) return false;
  pos = count_end + 1;
  bool with_ties = false;
  if (kw(pos) == Keyword::kOnly) {
    ++pos;
  } else if (kw(pos) == Keyword::kWith && raw_keyword(pos + 1) == Keyword::kTies) {
    pos += 2;
    with_ties = true;
  } else {
    return false;
  }
  if (count_begin == count_end) {
    tail->limit.kind = LimitSlot::Kind::kImplicitOne;
    tail->limit.literal = first_word;
    tail->limit.with_ties = with_ties;
    return true;
  }
  std::uint32_t count_pos = count_begin;
  if (!read_run(count_pos, count_end, RunRules{})) return false;
  tail->limit = classify_limit_value(count_begin, count_end);
  tail->limit.with_ties = with_ties;
  return tail->limit.kind != LimitSlot::Kind::kNone;
}

// FOR UPDATE | NO KEY UPDATE | SHARE | KEY SHARE [OF name, ...] [NOWAIT | SKIP LOCKED]
bool QueryReader::read_lock(std::uint32_t& pos, std::uint32_t end) {
  ++pos;
  const std::uint32_t begin = pos;
  while (pos < end && !is_tail_start(pos, end)) {
    const TokenKind k = kind(pos);
    if (k != TokenKind::kWord && k != TokenKind::kQuotedIdent && k != TokenKind::kDot && k != TokenKind::kComma &&
        k != TokenKind::kNumber) {
      return false;
    }
    ++pos;
  }
  return pos > begin;
}

// What a limit's value is: a literal to compare, ALL / NULL, or an expression.
// Returns kNone for values no dialect accepts ("LIMIT 10, 20").
LimitSlot QueryReader::classify_limit_value(std::uint32_t begin, std::uint32_t end) const {
  LimitSlot slot;
  slot.value_begin = begin;
  slot.value_end = end;
  for (std::uint32_t idx = begin; idx < end; idx = is_open(idx) ? tok(idx).match + 1 : idx + 1) {
    if (kind(idx) == TokenKind::kComma) return slot;
  }
  while (end - begin >= 2 && kind(begin) == TokenKind::kOpenParen && tok(begin).match == end - 1) {
    ++begin;
    --end;
  }
  slot.kind = LimitSlot::Kind::kExpression;
  if (end - begin == 2 && kind(begin) == TokenKind::kOperator && kind(begin + 1) == TokenKind::kNumber) {
    const std::string_view sign = tok(begin).text(sql_);
    if ((sign == "-" || sign == "+") && is_plain_decimal(tok(begin + 1).text(sql_))) {
      slot.kind = LimitSlot::Kind::kLiteral;
      slot.literal = begin + 1;
      slot.negative = sign == "-";
    }
    return slot;
  }
  if (end - begin != 1) return slot;
  slot.literal = begin;
  const std::string_view text = tok(begin).text(sql_);
  switch (kind(begin)) {
    case TokenKind::kNumber:
      if (is_plain_decimal(text)) slot.kind = LimitSlot::Kind::kLiteral;
      break;
    case TokenKind::kString: {
      const std::string_view content = string_content(text);
      if (content.empty()) {
        slot.kind = LimitSlot::Kind::kUnbounded;
      } else if (is_plain_decimal(content)) {
        slot.kind = LimitSlot::Kind::kLiteral;
      }
      break;
    }
    case TokenKind::kWord:
      if (raw_keyword(begin) == Keyword::kAll || raw_keyword(begin) == Keyword::kNull) {
        slot.kind = LimitSlot::Kind::kUnbounded;
      }
      break;
    default:
      break;
  }
  return slot;
}

// [WITH ...] body [tail]
bool QueryReader::read_query(std::uint32_t begin, std::uint32_t end, QueryShape* shape) {
  std::uint32_t pos = begin;
  if (pos >= end) return false;
  if (raw_keyword(pos) == Keyword::kWith && !read_with(pos, end)) return false;
  if (is_data_modification(raw_keyword(pos))) {
    modifies_data_ = true;
    return false;
  }
  TermInfo first;
  std::uint32_t term_count = 0;
  TailInfo tail;
  if (!read_body(pos, end, &first, &term_count) || !read_tail(pos, end, &tail) || pos != end) {
    return false;
  }
  if (shape == nullptr) return true;
  if (term_count == 1 && first.parenthesised && tail.empty) {
    *shape = first.inner;  // ((query)): the inner query's limit is the statement's
    return true;
  }
  shape->limit = tail.limit;
  if (shape->limit.kind == LimitSlot::Kind::kNone && term_count == 1) {
    shape->limit = first.top;
  }
  shape->insert_after = (tail.first_trailing != kNoToken ? tail.first_trailing : end) - 1;
  return true;
}

// ---------------------------------------------------------------------------------
// Rewriting
// ---------------------------------------------------------------------------------

std::string splice(std::string_view sql, std::size_t begin, std::size_t end, std::string_view replacement) {
  std::string out;
  out.reserve(sql.size() - (end - begin) + replacement.size());
  out.append(sql.substr(0, begin));
  out.append(replacement);
  out.append(sql.substr(end));
  return out;
}

// A byte that continues a word or number, so text placed against it would fuse with it.
bool fuses(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') || byte == '_' ||
         byte == '$' || byte >= 0x80;
}

// Replaces [begin, end) by `replacement`, with a space on a side where the replacement
// would otherwise fuse with its neighbour ("LIMIT'5000'" -> "LIMIT 1000", "$1offset"
// -> "$1 LIMIT 1000 offset").
std::string splice_apart(std::string_view sql, std::size_t begin, std::size_t end, std::string replacement) {
  if (begin > 0 && fuses(sql[begin - 1]) && fuses(replacement.front())) {
    replacement.insert(replacement.begin(), ' ');
  }
  if (end < sql.size() && (fuses(sql[end]) || sql[end] == '.') && fuses(replacement.back())) {
    replacement.push_back(' ');
  }
  return splice(sql, begin, end, replacement);
}

LimitCapResult unchanged(std::string_view query, UnchangedReason reason) {
  return LimitCapResult{std::string(query), LimitOutcome::kUnchanged, reason};
}

LimitCapResult rewrite(std::string_view query, std::size_t begin, std::size_t end, std::string replacement) {
  return LimitCapResult{splice_apart(query, begin, end, std::move(replacement)), LimitOutcome::kLowered,
                        UnchangedReason::kNone};
}

// True for LEAST(..., n, ...) with a literal argument n <= cap: a limit this function
// wrote before, or one already bounded as tightly.
bool is_bounded_least(std::string_view query, const std::vector<Token>& tokens, const LimitSlot& slot, long long cap) {
  const std::uint32_t name = slot.value_begin;
  const std::uint32_t open = name + 1;
  if (slot.value_end - slot.value_begin < 3 || tokens[name].kind != TokenKind::kWord ||
      !is_word(tokens[name].text(query), "least") || tokens[open].kind != TokenKind::kOpenParen ||
      tokens[open].match != slot.value_end - 1) {
    return false;
  }
  // Arguments are the comma-separated runs between the brackets.
  std::uint32_t argument_begin = open + 1;
  for (std::uint32_t idx = open + 1; idx <= tokens[open].match;) {
    const Token& token = tokens[idx];
    if (token.kind == TokenKind::kComma || idx == tokens[open].match) {
      if (idx == argument_begin + 1 && tokens[argument_begin].kind == TokenKind::kNumber) {
        const std::string_view digits = tokens[argument_begin].text(query);
        if (is_plain_decimal(digits) && compare_decimal(digits, cap) <= 0) return true;
      }
      argument_begin = idx + 1;
      ++idx;
    } else {
      const bool open_bracket = token.kind == TokenKind::kOpenParen || token.kind == TokenKind::kOpenBracket ||
                                token.kind == TokenKind::kOpenBrace;
      idx = open_bracket ? token.match + 1 : idx + 1;
    }
  }
  return false;
}

LimitCapResult apply_cap_value(std::string_view query, const std::vector<Token>& tokens, const QueryShape& shape,
                               long long limit, SqlDialect dialect) {
  const std::string cap = std::to_string(limit);
  const LimitSlot& slot = shape.limit;
  switch (slot.kind) {
    case LimitSlot::Kind::kNone: {
      const std::size_t at = tokens[shape.insert_after].end;
      return LimitCapResult{splice_apart(query, at, at, " LIMIT " + cap), LimitOutcome::kAdded, UnchangedReason::kNone};
    }
    case LimitSlot::Kind::kLiteral: {
      const Token& literal = tokens[slot.literal];
      std::string_view digits = literal.text(query);
      if (literal.kind == TokenKind::kString) digits = string_content(digits);
      if (slot.negative || compare_decimal(digits, limit) <= 0) break;
      return rewrite(query, literal.begin, literal.end, cap);
    }
    case LimitSlot::Kind::kUnbounded:
      return rewrite(query, tokens[slot.literal].begin, tokens[slot.literal].end, cap);
    case LimitSlot::Kind::kImplicitOne: {
      if (limit >= 1) break;
      const std::size_t at = tokens[slot.literal].end;
      return rewrite(query, at, at, " " + cap);
    }
    case LimitSlot::Kind::kExpression: {
      if (is_bounded_least(query, tokens, slot, limit)) break;
      if (dialect == SqlDialect::kSnowflake) {
        return LimitCapResult{std::string(query), LimitOutcome::kUncapped, UnchangedReason::kNone};
      }
      const std::size_t begin = tokens[slot.value_begin].begin;
      const std::size_t end = tokens[slot.value_end - 1].end;
      std::string wrapped = "LEAST(";
      wrapped.append(query.substr(begin, end - begin)).append(", ").append(cap).append(")");
      return rewrite(query, begin, end, wrapped);
    }
  }
  return LimitCapResult{std::string(query), LimitOutcome::kKept, UnchangedReason::kNone};
}

LimitCapResult apply_cap(std::string_view query, const std::vector<Token>& tokens, const QueryShape& shape,
                         long long limit, SqlDialect dialect) {
  LimitCapResult result = apply_cap_value(query, tokens, shape, limit, dialect);
  result.with_ties = shape.limit.with_ties;
  return result;
}

// Whether the first token can open a query in this dialect.
bool starts_query(const Token& first, SqlDialect dialect) {
  if (first.kind == TokenKind::kOpenParen) return true;
  if (first.kind != TokenKind::kWord) return false;
  switch (first.keyword) {
    case Keyword::kSelect:
    case Keyword::kWith:
      return true;
    case Keyword::kValues:
    case Keyword::kTable:
      return dialect != SqlDialect::kSnowflake;
    default:
      return false;
  }
}

// The token buffer of this thread, reused between calls.
std::vector<Token>& thread_tokens() {
  thread_local std::vector<Token> tokens;
  constexpr std::size_t kKeptCapacity = 1 << 16;
  if (tokens.capacity() > kKeptCapacity) std::vector<Token>().swap(tokens);
  return tokens;
}

}  // namespace

LimitCapResult cap_query_limit(std::string_view query, long long limit, SqlDialect dialect) {
  if (limit < 0) return unchanged(query, UnchangedReason::kNegativeLimit);
  std::vector<Token>& tokens = thread_tokens();
  if (!lex_sql(query, dialect, tokens).ok()) {
    return unchanged(query, UnchangedReason::kUnreadable);
  }
  auto count = static_cast<std::uint32_t>(tokens.size());
  while (count > 0 && tokens[count - 1].kind == TokenKind::kSemicolon) --count;
  if (count == 0) return unchanged(query, UnchangedReason::kEmpty);
  for (std::uint32_t idx = 0; idx < count; ++idx) {
    if (tokens[idx].kind == TokenKind::kSemicolon) {
      return unchanged(query, UnchangedReason::kSeveralStatements);
    }
  }
  if (!starts_query(tokens[0], dialect)) return unchanged(query, UnchangedReason::kNotAQuery);
  QueryReader reader(query, tokens, count, dialect);
  if (tokens[0].kind == TokenKind::kOpenParen && !reader.group_holds_query(0)) {
    return unchanged(query, UnchangedReason::kNotAQuery);
  }
  QueryShape shape;
  if (!reader.read_query(0, count, &shape)) {
    return unchanged(query, reader.modifies_data() ? UnchangedReason::kNotAQuery : UnchangedReason::kUnreadable);
  }
  if (reader.writes_table()) return unchanged(query, UnchangedReason::kWritesTable);
  return apply_cap(query, tokens, shape, limit, dialect);
}

std::string add_limit_to_query(std::string_view query, long long limit, SqlDialect dialect) {
  return cap_query_limit(query, limit, dialect).sql;
}

std::string_view limit_outcome_name(LimitOutcome outcome) {
  switch (outcome) {
    case LimitOutcome::kUnchanged:
      return "unchanged";
    case LimitOutcome::kAdded:
      return "added";
    case LimitOutcome::kLowered:
      return "lowered";
    case LimitOutcome::kKept:
      return "kept";
    case LimitOutcome::kUncapped:
      return "uncapped";
  }
  return "unchanged";
}

}  // namespace velko::platform::db_utils
