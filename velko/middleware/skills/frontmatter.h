// The front matter of a SKILL.md: the hand-written match of the block between the
// opening and closing "---" lines, and the read of its `name` and `description`.
//
// The match is the expression "^---\s*\n(.*?)\n---\s*\n" with "." matching line feeds,
// anchored at the first character, where \s is any Unicode white space. It runs in time
// linear in the text and never allocates. The block is loaded as a SafeYamlDocument
// (safe_yaml.h), whose scalars resolve as yaml_scalars.h says and whose collections
// convert to their Python-style text forms (python_repr.h).
//
// Thread-safe: pure functions.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velko/middleware/skills/python_repr.h"
#include "velko/middleware/skills/safe_yaml.h"

namespace velko::middleware::skills {

// Group 1 of the front-matter expression (a view into `text`), or nullopt when `text`
// has no front matter. `text` must be valid UTF-8 with line feeds only.
std::optional<std::string_view> match_front_matter(std::string_view text);

// The outcome of reading a SKILL.md's text.
struct FrontMatterFields {
  enum class Status { kNoFrontMatter, kNotMapping, kMissingField, kOk };
  Status status = Status::kNoFrontMatter;
  std::string name;         // when kOk
  std::string description;  // when kOk: cut to max_description code points

  bool operator==(const FrontMatterFields&) const = default;
};

// Matches the front matter of `text` (valid UTF-8, line feeds only), loads it, checks
// that `name` and `description` are present and converts them to text: the name whole
// (at most max_name_bytes bytes, else YAMLError), the description cut to its first
// `max_description` code points. Throws YAMLError when the front matter cannot be read.
// A front matter made only of "key: value" lines with plain one-line ASCII values (the
// usual SKILL.md) is read without the YAML parser, with the same result.
FrontMatterFields read_front_matter(std::string_view text, size_t max_description, size_t max_name_bytes);

// The same, always through the YAML parser (the reference for the shortcut above).
FrontMatterFields read_front_matter_with_parser(std::string_view text, size_t max_description, size_t max_name_bytes);

}  // namespace velko::middleware::skills
