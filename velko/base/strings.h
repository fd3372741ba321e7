// Small text helpers. Pure functions, thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velko::base {

// `text` without leading and trailing white space (space, \t, \n, \r, \f, \v).
std::string_view strip(std::string_view text);

// Pieces of `text` between occurrences of `separator` (which is one character);
// empty pieces are kept.
std::vector<std::string_view> split(std::string_view text, char separator);

bool starts_with(std::string_view text, std::string_view prefix);
bool ends_with(std::string_view text, std::string_view suffix);

// Seconds as messages show them: a whole number as itself ("30"), else with at most
// three decimals and no trailing zeros ("2.5", "0.125").
std::string seconds_text(double seconds);

// `text` with the ASCII letters A-Z made lower-case; every other byte unchanged.
std::string ascii_lower(std::string_view text);
// `text` with the ASCII letters a-z made upper-case; every other byte unchanged.
std::string ascii_upper(std::string_view text);

// Every occurrence of `from` in `text` replaced by `to`.
std::string replace_all(std::string_view text, std::string_view from, std::string_view to);

// Percent-encoding: every byte but ASCII letters, digits, "-._~" and the bytes of
// `also_keep` written as "%XX" (upper-case hex).
std::string percent_encode(std::string_view text, std::string_view also_keep = "");
// The inverse of percent_encode (either hex case; "+" stays "+"). Malformed escapes are
// kept as written.
std::string percent_decode(std::string_view text);
// Standard base64 (RFC 4648 section 4: "+/" alphabet, "=" padding, no line breaks) of
// the bytes of `data`.
std::string base64_encode(std::string_view data);

// The first `max_bytes` bytes of `text` (never splitting a UTF-8 sequence), "..." added
// when something was cut.
std::string shorten(std::string_view text, size_t max_bytes);

}  // namespace velko::base
