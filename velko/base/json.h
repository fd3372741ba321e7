// JSON values and the one JSON text form every tool result uses.
//
// Json is nlohmann::ordered_json: objects keep their keys in insertion order.
// dumps() writes the compact-with-spaces form: ", " between items, ": " after keys, no
// indentation, keys in insertion order, every character outside printable ASCII as a
// \u escape (surrogate pairs above U+FFFF), floats in their shortest round-trip form with
// ".0" on integral values ("1.0", "0.1", "1e+16", "1e-05") and non-finite floats as
// Infinity, -Infinity and NaN. Invalid UTF-8 in a string is written as U+FFFD per bad
// byte, never passed through. Binary values are written as a string of their bytes'
// hexadecimal digits. Thread-safe (no shared state).
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace velko {
using Json = nlohmann::ordered_json;
}  // namespace velko

namespace velko::base {

std::string dumps(const Json& value);

// Appends the JSON text of `value` to `out` (the same form as dumps).
void dump_to(std::string& out, const Json& value);

// Whether `value` counts as false the way the agent runtime's conditions read values:
// null, false, 0, "", [] and {}. Everything else is true.
bool is_falsy(const Json& value);

// The text value of `object`'s member `key`, or "" when `object` is not an object, has no
// such member, or the member is not text.
std::string text_member(const Json& object, std::string_view key);

// The shortest text that reads back as `value`, in the float form above ("1.0", "1e+16").
std::string float_repr(double value);

// A JSON string literal (with quotes) for `text`, escaped as dumps escapes strings.
std::string quote(std::string_view text);

// How deeply arrays and objects may nest in text that loads() accepts. Deeper values
// are refused before anything is built: copying or printing them would recurse as deep.
inline constexpr size_t MAX_JSON_DEPTH = 512;

// Parses JSON text. Throws ValueError with the parser's message on malformed input, and
// ValueError "invalid JSON: nesting deeper than 512 levels" for values nested deeper than
// max_depth (checked in one pass before parsing).
Json loads(std::string_view text, size_t max_depth = MAX_JSON_DEPTH);

// loads() for text that may be anything: nullopt instead of an error.
std::optional<Json> try_loads(std::string_view text, size_t max_depth = MAX_JSON_DEPTH);

// True when arrays and objects in `text` nest no deeper than max_depth (brackets inside
// strings do not count). Linear, allocates nothing; says nothing about validity.
bool json_depth_within(std::string_view text, size_t max_depth = MAX_JSON_DEPTH);

}  // namespace velko::base
