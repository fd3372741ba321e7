// Bounds on the size of what a query returns: long values are cut with a marker.
//
//   std::string text(100000, 'x');
//   cut_long_text(text);    // the first 65536 bytes, then "… [34464 more characters]"
//
// The cut keeps at most `max_bytes` bytes of the text, never splitting a UTF-8 sequence,
// and appends "… [N more characters]", N counting the characters (code points; an invalid
// byte counts one) that were dropped. A text already in that form is left alone, so a
// value cut by a driver while reading is not cut again by the tool. Pure functions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "velko/base/json.h"

namespace velko::platform::sql {

inline constexpr size_t MAX_VALUE_BYTES = size_t{64} * 1024;

// Cuts `text` when it is longer than `max_bytes` (see above). Returns true when it cut.
bool cut_long_text(std::string& text, size_t max_bytes = MAX_VALUE_BYTES);

// The cut form of a text of `total_code_points` code points of which `start` holds at
// least the first `max_bytes + 1` bytes (a driver that stopped reading a long value):
// its first `max_bytes` bytes, then "… [N more characters]" with N counted from the
// total. So a value need not be held whole to be shown cut.
std::string cut_text_start(std::string_view start, size_t total_code_points, size_t max_bytes = MAX_VALUE_BYTES);

// `value` bounded: a string cut as above; an array or object whose JSON text is longer
// than `max_bytes` becomes that text, cut; anything else unchanged.
Json bounded_value(Json value, size_t max_bytes = MAX_VALUE_BYTES);

}  // namespace velko::platform::sql
