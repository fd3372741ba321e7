// Pieces the HTTP-based drivers share: value conversions and error texts.
// Pure functions, thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velko/base/json.h"

namespace velko::platform::sql_remote {

// A timestamp as "YYYY-MM-DD HH:MM:SS[.ffffff][+HH:MM]", the way the agent runtime's
// datetime prints: "T" between date and time becomes a space, a fraction is cut or
// padded to 6 digits and left out when zero, "Z" becomes "+00:00". Text of another form
// is returned unchanged.
std::string timestamp_text(std::string_view text);

// An integer written in decimal, when it fits in 64 bits (signed or unsigned).
std::optional<Json> integer_value(std::string_view text);
// A float from text: decimal forms, and nan, inf, +inf, -inf, Infinity, -Infinity
// in any letter case.
std::optional<double> float_value(std::string_view text);

// The arguments of a type such as "Map(String, Array(Nullable(Int64)))" or
// "Enum8('a,b' = 1)", split at the top-level commas and trimmed.
std::vector<std::string_view> type_arguments(std::string_view inside);

// `text` cut to at most `limit` bytes (never inside a UTF-8 sequence), "..." appended
// when cut; control characters other than line feeds and tabs dropped.
std::string message_text(std::string_view text, size_t limit = 2000);

}  // namespace velko::platform::sql_remote
