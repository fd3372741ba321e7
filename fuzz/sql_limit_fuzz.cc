// libFuzzer target for the SQL row cap.
//
// Input: the first byte picks the dialect (byte % 3) and the cap (byte / 3 % 4: 0, 1,
// 1000 or the largest long long); the rest is the SQL text. Besides surviving, every
// result must keep the text outside the limit: returned as given, or with exactly one
// insertion of " LIMIT n", or with one value replaced by n (or wrapped as LEAST(v, n)).
// Capping the result again must keep it as it is.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "velko/platform/db_utils/sql_limit.h"

namespace {

using velko::platform::db_utils::cap_query_limit;
using velko::platform::db_utils::LimitCapResult;
using velko::platform::db_utils::LimitOutcome;
using velko::platform::sql_lexer::SqlDialect;

void fail(const char* what, std::string_view input, std::string_view output) {
  std::fprintf(stderr, "invariant broken: %s\ninput:  %.*s\noutput: %.*s\n", what, static_cast<int>(input.size()),
               input.data(), static_cast<int>(output.size()), output.data());
  std::abort();
}

// Output is the input with " LIMIT n" inserted at one place.
bool is_single_insertion(std::string_view input, std::string_view output, std::string_view inserted) {
  if (output.size() != input.size() + inserted.size()) return false;
  std::size_t prefix = 0;
  while (prefix < input.size() && input[prefix] == output[prefix]) ++prefix;
  // The insertion starts at most inserted.size() bytes before the first difference.
  const std::size_t lowest = prefix >= inserted.size() ? prefix - inserted.size() : 0;
  for (std::size_t at = lowest; at <= prefix; ++at) {
    if (output.substr(0, at) == input.substr(0, at) && output.substr(at, inserted.size()) == inserted &&
        output.substr(at + inserted.size()) == input.substr(at)) {
      return true;
    }
  }
  return false;
}

std::size_t common_prefix(std::string_view a, std::string_view b) {
  std::size_t length = 0;
  while (length < a.size() && length < b.size() && a[length] == b[length]) ++length;
  return length;
}

std::size_t common_suffix(std::string_view a, std::string_view b) {
  std::size_t length = 0;
  while (length < a.size() && length < b.size() && a[a.size() - 1 - length] == b[b.size() - 1 - length]) {
    ++length;
  }
  return length;
}

// Output is the input with the span [begin, end) replaced by `replacement`; the caller
// has checked that the first `begin` bytes agree (begin <= common prefix).
bool is_splice(std::string_view input, std::string_view output, std::size_t begin, std::size_t end,
               std::string_view replacement, std::size_t suffix) {
  return end >= begin && end <= input.size() && input.size() - end <= suffix &&
         output.size() == input.size() - (end - begin) + replacement.size() &&
         output.substr(begin, replacement.size()) == replacement;
}

// Output is the input with one span replaced: a non-empty span by the cap's digits, an
// empty one by " " and the digits (FETCH FIRST ROW ONLY), or a span by LEAST(span, cap).
// With `spaced`, the replacement may carry a space on either side (so it does not fuse
// with a neighbouring word).
bool is_single_rewrite(std::string_view input, std::string_view output, std::string_view cap, bool spaced) {
  const std::size_t prefix = common_prefix(input, output);
  const std::size_t suffix = common_suffix(input, output);
  std::vector<std::string> digit_forms = {std::string(cap)};
  if (spaced) {
    digit_forms.push_back(" " + std::string(cap));
    digit_forms.push_back(std::string(cap) + " ");
    digit_forms.push_back(" " + std::string(cap) + " ");
  }
  const std::string least_begin = spaced ? " LEAST(" : "LEAST(";
  const std::string least_end = ", " + std::string(cap) + ")";
  for (std::size_t begin = 0; begin <= prefix && begin <= input.size(); ++begin) {
    // A value replaced by the digits: its end follows from the sizes.
    for (const std::string& digits : digit_forms) {
      const std::size_t value_end = input.size() + begin + digits.size() - output.size();
      if (output.size() <= input.size() + digits.size() && value_end > begin &&
          is_splice(input, output, begin, value_end, digits, suffix)) {
        return true;
      }
    }
    if (is_splice(input, output, begin, begin, " " + std::string(cap), suffix)) return true;
    // LEAST(value, cap): the value is copied right after "LEAST(".
    const std::size_t shift = least_begin.size();
    if (output.size() != input.size() + shift + least_end.size() || output.substr(begin, shift) != least_begin) {
      continue;
    }
    std::size_t copied = 0;
    while (begin + copied < input.size() && begin + shift + copied < output.size() &&
           input[begin + copied] == output[begin + shift + copied]) {
      ++copied;
    }
    for (std::size_t length = 1; length <= copied; ++length) {
      const std::size_t end = begin + length;
      if (output.substr(begin + shift + length, least_end.size()) == least_end && input.size() - end <= suffix) {
        return true;
      }
    }
  }
  return false;
}

void check(std::string_view sql, long long cap, SqlDialect dialect) {
  const LimitCapResult result = cap_query_limit(sql, cap, dialect);
  const std::string digits = std::to_string(cap);
  switch (result.outcome) {
    case LimitOutcome::kUnchanged:
    case LimitOutcome::kKept:
    case LimitOutcome::kUncapped:
      if (result.sql != sql) fail("text changed without a rewrite", sql, result.sql);
      return;
    case LimitOutcome::kAdded:
      // A space follows when the next byte would otherwise fuse with the number.
      if (!is_single_insertion(sql, result.sql, " LIMIT " + digits) &&
          !is_single_insertion(sql, result.sql, " LIMIT " + digits + " ")) {
        fail("added more than one LIMIT clause", sql, result.sql);
      }
      break;
    case LimitOutcome::kLowered:
      if (!is_single_rewrite(sql, result.sql, digits, /*spaced=*/false) &&
          !is_single_rewrite(sql, result.sql, digits, /*spaced=*/true)) {
        fail("rewrote more than the limit value", sql, result.sql);
      }
      break;
  }
  const LimitCapResult again = cap_query_limit(result.sql, cap, dialect);
  if (again.outcome != LimitOutcome::kKept || again.sql != result.sql) {
    fail("capping twice changed the text again", sql, again.sql);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static constexpr SqlDialect kDialects[] = {SqlDialect::kPostgres, SqlDialect::kSnowflake, SqlDialect::kDatabricks};
  static constexpr long long kCaps[] = {0, 1, 1000, std::numeric_limits<long long>::max()};
  const SqlDialect dialect = kDialects[data[0] % 3];
  const long long cap = kCaps[(data[0] / 3) % 4];
  const std::string_view sql(reinterpret_cast<const char*>(data + 1), size - 1);
  check(sql, cap, dialect);
  return 0;
}
