// The scalar rules of the front-matter reader: how YAML 1.1 safe loaders resolve a plain
// scalar (null, bool, int, float, timestamp, else text), what an explicit standard tag
// accepts, and the character classes the reader needs. Pure functions, thread-safe.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "velko/base/errors.h"

namespace velko::middleware::skills {

// A YAML document that cannot be read: a syntax error, a forbidden tag or character, or
// a value too large to convert. Its text is the reader's message.
class YAMLError : public base::Error {
 public:
  explicit YAMLError(const std::string& message) : base::Error(message) {}
  const char* kind() const noexcept override { return "YAMLError"; }
};

// What a YAML node is.
enum class YamlKind { kNull, kBool, kInt, kFloat, kTimestamp, kString, kSequence, kMapping };

namespace yaml {

// White space as Python's str.isspace() sees it (what \s matches in a text pattern).
bool is_space(uint32_t cp);
// Characters a YAML stream may hold: tab, LF, CR, printable ASCII, NEL and everything
// from U+00A0 on except surrogates, U+FFFE and U+FFFF.
bool yaml_printable(uint32_t cp);
bool is_digit(char c);

// A scalar's kind and whether it counts as present (see SafeYamlDocument::truthy).
struct Resolved {
  YamlKind kind;
  bool truthy;
};

// The kind of a plain (untagged, unquoted) scalar.
Resolved resolve_plain(std::string_view v);
// The kind of a scalar with the explicit standard tag `tag` ("tag:yaml.org,2002:int"...).
// Throws YAMLError for a value the tag does not accept, or a tag that names no scalar type.
Resolved resolve_tagged(const std::string& tag, std::string_view v);
// Whether `tag` is the standard tag of one of `names` ("map", "seq", ...).
bool is_core_tag(const std::string& tag, std::initializer_list<std::string_view> names);
// The message for a tag no constructor exists for.
std::string constructor_error(const std::string& tag);

}  // namespace yaml
}  // namespace velko::middleware::skills
