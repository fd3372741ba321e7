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

// Every occurrence of `from` in `text` replaced by `to`.
std::string replace_all(std::string_view text, std::string_view from, std::string_view to);

// The first `max_bytes` bytes of `text` (never splitting a UTF-8 sequence), "..." added
// when something was cut.
std::string shorten(std::string_view text, size_t max_bytes);

// `text` with every occurrence of `secret` replaced by "***" (unchanged when secret is empty).
std::string scrub(std::string text, std::string_view secret);

}  // namespace velko::base
