// The size bounds of the data-analysis tools' answers.
//
// A query text longer than MAX_QUERY_BYTES is refused before it is read. A value (a
// cell, a name, an error text) longer than platform::sql::MAX_VALUE_BYTES is cut to that
// size followed by "… [N more characters]" (platform/sql/value_bounds.h). A whole answer
// stays under MAX_ANSWER_BYTES: rows, names or table entries that would pass it are left
// out, and the answer says how many with a "note" key. Pure functions, thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "velko/base/json.h"

namespace velko::middleware::analyst {

inline constexpr size_t MAX_QUERY_BYTES = size_t{1} << 20;   // 1 MiB
inline constexpr size_t MAX_ANSWER_BYTES = size_t{4} << 20;  // 4 MiB
// Room kept for the closing of the answer and its note.
inline constexpr size_t ANSWER_RESERVE = 1024;

// `text` cut to MAX_VALUE_BYTES (see above).
std::string bounded_text(std::string text);

// The names as a JSON array, each cut to MAX_VALUE_BYTES, holding as many as fit in
// `budget` bytes of JSON text; `left_out` is set to the number that did not fit.
Json bounded_names(const std::vector<std::string>& names, size_t budget, size_t& left_out);

// "N {what} left out: the answer is limited to 4 MiB"
std::string left_out_note(size_t count, const std::string& what);

}  // namespace velko::middleware::analyst
