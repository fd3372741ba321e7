// SafeYamlDocument: a YAML document loaded the safe way, for the skills' front matter.
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
// Thread-safe: immutable once loaded.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velko/middleware/skills/yaml_scalars.h"

namespace velko::middleware::skills {

// A YAML document loaded the safe way.
class SafeYamlDocument {
 public:
  using Kind = YamlKind;

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

}  // namespace velko::middleware::skills
