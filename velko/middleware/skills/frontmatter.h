// The front matter of a SKILL.md: the hand-written match of the block between the
// opening and closing "---" lines, and a safe YAML reader (libyaml events) for it.
//
// The match is the expression "^---\s*\n(.*?)\n---\s*\n" with "." matching line feeds,
// anchored at the first character, where \s is any Unicode white space. It runs in time
// linear in the text and never allocates.
//
// The YAML reader (libyaml events) accepts mappings, sequences and scalars only (explicit tags limited to
// the standard YAML types; any other tag is an error, so nothing but plain values is
// ever built). Plain scalars resolve the way YAML 1.1 safe loaders resolve them: null
// ("", "~", null), booleans (true/false/yes/no/on/off in their three spellings), integers
// (decimal, 0b, 0x, leading-0 octal, sexagesimal, with "_"), floats (with a dot, .inf,
// .nan) and timestamps; the rest is text. Merge keys ("<<") are honoured.
//
// A scalar converts to text as written (the number 42 gives "42", yes gives "yes"). A
// sequence or mapping converts to its Python-style form (['a', 1], {'k': 'v'}), its
// scalars as above except null (None) and booleans (True, False). Aliases share nodes
// instead of copying them, and every conversion is bounded, so a front matter whose
// aliases would expand enormously costs time and memory proportional to the limits, not
// to the expansion. Recursive structures convert with "[...]" / "{...}".
//
// Thread-safe: pure functions and immutable documents.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velko/base/errors.h"

namespace velko::middleware::skills {

// A YAML document that cannot be read: a syntax error, a forbidden tag or character, or
// a value too large to convert. Its text is the reader's message.
class YAMLError : public base::Error {
 public:
  explicit YAMLError(const std::string& message) : base::Error(message) {}
  const char* kind() const noexcept override { return "YAMLError"; }
};

// Group 1 of the front-matter expression (a view into `text`), or nullopt when `text`
// has no front matter. `text` must be valid UTF-8 with line feeds only.
std::optional<std::string_view> match_front_matter(std::string_view text);

// A YAML document loaded the safe way.
class SafeYamlDocument {
 public:
  enum class Kind { kNull, kBool, kInt, kFloat, kTimestamp, kString, kSequence, kMapping };

  // Loads `text` (valid UTF-8). An empty document (no content, only comments) loads as
  // null. Throws YAMLError for syntax errors, several documents, characters YAML does
  // not allow, tags other than the standard ones, invalid merges and collection keys.
  static SafeYamlDocument load(std::string_view text);

  // The root node, or nullopt when the document is empty.
  std::optional<size_t> root() const { return root_; }
  Kind kind(size_t node) const { return nodes_[node].kind; }
  bool root_is_mapping() const { return root_ && nodes_[*root_].kind == Kind::kMapping; }

  // The value of the text key `key` in the mapping `mapping` (the last one wins, keys
  // written in the mapping win over merged ones), or nullopt.
  std::optional<size_t> find(size_t mapping, std::string_view key) const;

  // Whether the value counts as present: false for null, false, zero, "" and empty
  // collections, true otherwise.
  bool truthy(size_t node) const;

  // The node's text form (see above), cut to its first `max_code_points` code points.
  // Throws YAMLError when the form (before the cut) would exceed `max_bytes` bytes, or a
  // mapping would need more than MAX_MERGED_PAIRS merged entries.
  std::string to_text(size_t node, size_t max_code_points, size_t max_bytes) const;

  // Bound on the mappings visited plus entries gathered when a mapping with merge keys
  // converts to text.
  static constexpr size_t MAX_MERGED_PAIRS = 1 << 16;

  size_t node_count() const { return nodes_.size(); }

 private:
  friend class DocumentBuilder;
  friend class TextWriter;
  struct Node {
    Kind kind = Kind::kNull;
    std::string text;              // scalars: the value as written (escapes resolved)
    std::vector<size_t> children;  // sequence items; mapping keys and values, alternating
    bool has_merge = false;        // mapping with a "<<" key
    bool merge_key = false;        // scalar: a merge key ("<<" plain, or tagged merge)
    bool truthy = false;           // scalars: whether the value counts as present
  };
  bool is_merge_key(size_t node) const;
  std::optional<size_t> find_in(size_t mapping, std::string_view key, std::vector<char>& seen) const;

  std::vector<Node> nodes_;
  std::optional<size_t> root_;
};

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

// `text` as Python's repr() shows a string: in single quotes (double quotes when it holds
// a single quote and no double quote), with backslashes, the quote, controls and
// invisible characters escaped. Invalid UTF-8 bytes show as \xNN.
std::string python_repr(std::string_view text);

// The text as a reader of UTF-8 text files sees it: every CR LF pair and every lone CR
// turned into a line feed (in place: a file without CR is returned as it came). Throws
// base::UnicodeDecodeError (with the position and the offending byte) when `bytes` is
// not valid UTF-8.
std::string decode_text_file(std::string bytes);

}  // namespace velko::middleware::skills
