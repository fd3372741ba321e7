// UTF-8 helpers. Pure functions, thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velko::base {

// Decodes the code point starting at text[pos] and advances pos past it. A byte that
// does not start a valid, shortest-form sequence (or a surrogate) yields U+FFFD and
// advances pos by one byte.
uint32_t decode_utf8(std::string_view text, size_t& pos);

// Appends the UTF-8 form of `code_point` to `out`.
void append_utf8(std::string& out, uint32_t code_point);

// True when `text` is valid UTF-8.
bool is_valid_utf8(std::string_view text);

// `text` with every invalid byte replaced by U+FFFD.
std::string to_valid_utf8(std::string_view text);

// Number of code points (invalid bytes count one each).
size_t count_code_points(std::string_view text);

// The first `count` code points of `text`, never splitting a sequence.
std::string_view prefix_code_points(std::string_view text, size_t count);

// The text as a reader of UTF-8 text files sees it: every CR LF pair and every lone CR
// turned into a line feed (in place: a file without CR is returned as it came). Throws
// UnicodeDecodeError (with the position and the offending byte) when `bytes` is
// not valid UTF-8.
std::string decode_text_file(std::string bytes);

}  // namespace velko::base
