#include "velko/middleware/skills/safe_yaml.h"

#include <yaml.h>

#include <cstring>
#include <limits>
#include <new>
#include <unordered_map>

#include "velko/base/utf8.h"
#include "velko/middleware/skills/python_repr.h"

namespace velko::middleware::skills {

using Kind = SafeYamlDocument::Kind;
using yaml::constructor_error;
using yaml::is_core_tag;
using yaml::resolve_plain;
using yaml::resolve_tagged;
using yaml::Resolved;
using yaml::yaml_printable;

namespace {
// Nesting limit for the walks over a loaded document (aliases can chain nodes far deeper
// than the parser's own nesting limit).
constexpr size_t kMaxDepth = 1000;
}  // namespace

// Builds a document from the parser's events: nodes in one vector, aliases as references
// to the anchored node (never copies), collections kept on an explicit stack.
class DocumentBuilder {
 public:
  explicit DocumentBuilder(SafeYamlDocument& doc) : doc_(doc) {}

  // Handles one event; returns false at the end of the stream.
  bool handle(const yaml_event_t& event) {
    switch (event.type) {
      case YAML_DOCUMENT_START_EVENT:
        if (++documents_ > 1) {
          throw YAMLError("expected a single document in the stream, but found another document" + where(event));
        }
        return true;
      case YAML_ALIAS_EVENT: {
        std::string anchor = text_of(event.data.alias.anchor);
        auto found = anchors_.find(anchor);
        if (found == anchors_.end()) throw YAMLError("found undefined alias '" + anchor + "'" + where(event));
        attach(found->second);
        return true;
      }
      case YAML_SCALAR_EVENT:
        scalar(event);
        return true;
      case YAML_SEQUENCE_START_EVENT:
        open(event, Kind::kSequence, tag_of(event.data.sequence_start.tag), event.data.sequence_start.anchor);
        return true;
      case YAML_MAPPING_START_EVENT:
        open(event, Kind::kMapping, tag_of(event.data.mapping_start.tag), event.data.mapping_start.anchor);
        return true;
      case YAML_SEQUENCE_END_EVENT:
        stack_.pop_back();
        return true;
      case YAML_MAPPING_END_EVENT:
        close_mapping();
        return true;
      case YAML_STREAM_END_EVENT:
        return false;
      default:
        return true;
    }
  }

 private:
  static std::string text_of(const yaml_char_t* text) {
    return text ? std::string(reinterpret_cast<const char*>(text)) : std::string();
  }
  static std::optional<std::string> tag_of(const yaml_char_t* tag) {
    if (!tag) return std::nullopt;
    return text_of(tag);
  }
  static std::string where(const yaml_event_t& event) {
    return " (line " + std::to_string(event.start_mark.line + 1) + ", column " +
           std::to_string(event.start_mark.column + 1) + ")";
  }

  void scalar(const yaml_event_t& event) {
    const auto& data = event.data.scalar;
    std::string value(reinterpret_cast<const char*>(data.value), data.length);
    std::optional<std::string> tag = tag_of(data.tag);
    Resolved resolved{Kind::kString, !value.empty()};
    bool merge = false;
    if ((!tag && data.plain_implicit && data.style == YAML_PLAIN_SCALAR_STYLE) || (tag && *tag == "!")) {
      // Plain scalars, and any scalar with the non-specific tag "!", resolve by their text.
      resolved = resolve_plain(value);
      merge = !tag && value == "<<";
    } else if (!tag) {
      resolved = {Kind::kString, !value.empty()};
    } else if (is_core_tag(*tag, {"str", "binary", "null", "bool", "int", "float", "timestamp"})) {
      resolved = resolve_tagged(*tag, value);
    } else if (is_core_tag(*tag, {"merge"})) {
      merge = true;
    } else if (is_core_tag(*tag, {"seq", "map", "set", "omap", "pairs"})) {
      throw YAMLError("expected a collection for the tag '" + *tag + "', but found a scalar" + where(event));
    } else {
      throw YAMLError(constructor_error(*tag) + where(event));
    }
    size_t node = new_node(resolved.kind, std::move(value), resolved.truthy);
    doc_.nodes_[node].merge_key = merge;
    add(node, data.anchor, event);
  }

  void open(const yaml_event_t& event, Kind kind, const std::optional<std::string>& tag, const yaml_char_t* anchor) {
    if (tag && *tag != "!") {
      bool sequence_tag = is_core_tag(*tag, {"seq", "omap", "pairs"});
      bool mapping_tag = is_core_tag(*tag, {"map", "set"});
      if (!sequence_tag && !mapping_tag &&
          !is_core_tag(*tag, {"str", "binary", "null", "bool", "int", "float", "timestamp", "merge"})) {
        throw YAMLError(constructor_error(*tag) + where(event));
      }
      if ((kind == Kind::kSequence && !sequence_tag) || (kind == Kind::kMapping && !mapping_tag)) {
        throw YAMLError("the tag '" + *tag + "' does not fit a " + (kind == Kind::kSequence ? "sequence" : "mapping") +
                        where(event));
      }
    }
    if (stack_.size() >= kMaxDepth) throw YAMLError("collections nested too deeply" + where(event));
    size_t node = new_node(kind, std::string(), false);
    add(node, anchor, event);
    stack_.push_back(node);
  }

  void close_mapping() {
    size_t mapping = stack_.back();
    stack_.pop_back();
    auto& nodes = doc_.nodes_;
    for (size_t key_idx = 0; key_idx + 1 < nodes[mapping].children.size(); key_idx += 2) {
      size_t key = nodes[mapping].children[key_idx];
      if (nodes[key].kind == Kind::kSequence || nodes[key].kind == Kind::kMapping) {
        throw YAMLError("while constructing a mapping, found unhashable key");
      }
      if (!nodes[key].merge_key) continue;
      nodes[mapping].has_merge = true;
      size_t value = nodes[mapping].children[key_idx + 1];
      bool valid = nodes[value].kind == Kind::kMapping;
      if (nodes[value].kind == Kind::kSequence) {
        valid = true;
        for (size_t item : nodes[value].children) valid = valid && nodes[item].kind == Kind::kMapping;
      }
      if (!valid) throw YAMLError("while constructing a mapping, expected a mapping or list of mappings for merging");
    }
  }

  size_t new_node(Kind kind, std::string text, bool truthy) {
    SafeYamlDocument::Node node;
    node.kind = kind;
    node.text = std::move(text);
    node.truthy = truthy;
    doc_.nodes_.push_back(std::move(node));
    return doc_.nodes_.size() - 1;
  }

  void attach(size_t node) {
    if (stack_.empty()) {
      if (!doc_.root_) doc_.root_ = node;
      return;
    }
    doc_.nodes_[stack_.back()].children.push_back(node);
  }

  void add(size_t node, const yaml_char_t* anchor, const yaml_event_t& event) {
    if (anchor) {
      auto [it, inserted] = anchors_.emplace(text_of(anchor), node);
      if (!inserted) throw YAMLError("found duplicate anchor '" + it->first + "'" + where(event));
    }
    attach(node);
  }

  SafeYamlDocument& doc_;
  std::vector<size_t> stack_;
  std::unordered_map<std::string, size_t> anchors_;
  int documents_ = 0;
};

namespace {

// Owns a libyaml parser and its current event.
class Parser {
 public:
  explicit Parser(std::string_view text) {
    if (!yaml_parser_initialize(&parser_)) throw std::bad_alloc();
    yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    yaml_parser_set_encoding(&parser_, YAML_UTF8_ENCODING);
  }
  ~Parser() {
    if (has_event_) yaml_event_delete(&event_);
    yaml_parser_delete(&parser_);
  }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  const yaml_event_t& next() {
    if (has_event_) yaml_event_delete(&event_), has_event_ = false;
    if (!yaml_parser_parse(&parser_, &event_)) throw YAMLError(error_text());
    has_event_ = true;
    return event_;
  }

 private:
  std::string error_text() const {
    std::string text;
    if (parser_.context) text = std::string(parser_.context) + ", ";
    text += parser_.problem ? parser_.problem : "unknown YAML error";
    text += " (line " + std::to_string(parser_.problem_mark.line + 1) + ", column " +
            std::to_string(parser_.problem_mark.column + 1) + ")";
    return text;
  }

  yaml_parser_t parser_;
  yaml_event_t event_;
  bool has_event_ = false;
};

}  // namespace

SafeYamlDocument SafeYamlDocument::load(std::string_view text) {
  // Characters YAML does not allow are refused before the parser sees them.
  for (size_t pos = 0; pos < text.size();) {
    size_t start = pos;
    uint32_t cp = base::decode_utf8(text, pos);
    if (!yaml_printable(cp)) {
      char buffer[96];
      std::snprintf(buffer, sizeof buffer, "unacceptable character #x%04x: special characters are not allowed", cp);
      throw YAMLError(std::string(buffer) + " (position " + std::to_string(start) + ")");
    }
  }
  SafeYamlDocument doc;
  DocumentBuilder builder(doc);
  Parser parser(text);
  while (builder.handle(parser.next())) {
  }
  return doc;
}

bool SafeYamlDocument::is_merge_key(size_t node) const { return nodes_[node].merge_key; }

bool SafeYamlDocument::truthy(size_t node) const {
  const Node& n = nodes_[node];
  if (n.kind == Kind::kSequence) return !n.children.empty();
  if (n.kind == Kind::kMapping) return !n.children.empty();
  return n.truthy;
}

std::optional<size_t> SafeYamlDocument::find(size_t mapping, std::string_view key) const {
  if (nodes_[mapping].kind != Kind::kMapping) return std::nullopt;
  std::vector<char> seen(nodes_.size(), 0);
  return find_in(mapping, key, seen);
}

std::optional<size_t> SafeYamlDocument::find_in(size_t mapping, std::string_view key, std::vector<char>& seen) const {
  // `seen` holds the mappings already searched (a mapping without the key stays without
  // it), which also cuts merge cycles.
  if (seen[mapping]) return std::nullopt;
  seen[mapping] = 1;
  const auto& children = nodes_[mapping].children;
  for (size_t idx = children.size() / 2; idx-- > 0;) {
    size_t k = children[2 * idx];
    if (!is_merge_key(k) && nodes_[k].kind == Kind::kString && nodes_[k].text == key) return children[2 * idx + 1];
  }
  if (!nodes_[mapping].has_merge) return std::nullopt;
  // Later merge keys win over earlier ones; within a list of mappings the first wins.
  for (size_t idx = children.size() / 2; idx-- > 0;) {
    if (!is_merge_key(children[2 * idx])) continue;
    size_t value = children[2 * idx + 1];
    if (nodes_[value].kind == Kind::kMapping) {
      if (auto found = find_in(value, key, seen)) return found;
    } else {
      for (size_t item : nodes_[value].children) {
        if (auto found = find_in(item, key, seen)) return found;
      }
    }
  }
  return std::nullopt;
}

class TextWriter {
 public:
  TextWriter(const SafeYamlDocument& doc, size_t max_code_points, size_t max_bytes)
      : doc_(doc), max_code_points_(max_code_points), max_bytes_(max_bytes), active_(doc.nodes_.size(), 0) {}

  std::string run(size_t node) {
    const auto& n = doc_.nodes_[node];
    if (n.kind != Kind::kSequence && n.kind != Kind::kMapping) {
      put(n.text);
    } else {
      write(node, 0);
    }
    return std::move(out_);
  }

 private:
  using Pair = std::pair<size_t, size_t>;

  void put(std::string_view text) {
    if (full_) return;
    if (max_code_points_ == std::numeric_limits<size_t>::max()) {
      if (text.size() > max_bytes_ - out_.size()) throw too_large();
      out_.append(text);
      return;
    }
    size_t pos = 0;
    while (pos < text.size()) {
      if (code_points_ == max_code_points_) {
        full_ = true;
        break;
      }
      base::decode_utf8(text, pos);
      ++code_points_;
    }
    if (pos > max_bytes_ - out_.size()) throw too_large();
    out_.append(text.substr(0, pos));
  }

  static YAMLError too_large() { return YAMLError("value too large to convert to text"); }

  void put_repr(std::string_view text) {
    char quote = yaml::repr_quote(text);
    std::string piece(1, quote);
    // In slices, so a long text stops costing once the limit is reached.
    while (!text.empty() && !full_) {
      size_t cut = std::min<size_t>(text.size(), 4096);
      while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) ++cut;
      yaml::append_repr_body(piece, text.substr(0, cut), quote);
      text.remove_prefix(cut);
      put(piece);
      piece.clear();
    }
    piece += quote;
    put(piece);
  }

  void write_scalar(size_t node) {
    const auto& n = doc_.nodes_[node];
    switch (n.kind) {
      case Kind::kString:
        put_repr(n.text);
        break;
      case Kind::kNull:
        put("None");
        break;
      case Kind::kBool:
        put(doc_.truthy(node) ? "True" : "False");
        break;
      default:
        put(n.text);
        break;
    }
  }

  void write(size_t node, size_t depth) {
    if (full_) return;
    if (depth > kMaxDepth) throw YAMLError("value nested too deeply to convert to text");
    const auto& n = doc_.nodes_[node];
    if (n.kind == Kind::kSequence) {
      if (active_[node]) return put("[...]");
      active_[node] = 1;
      put("[");
      for (size_t idx = 0; idx < n.children.size() && !full_; ++idx) {
        if (idx) put(", ");
        write(n.children[idx], depth + 1);
      }
      put("]");
      active_[node] = 0;
    } else if (n.kind == Kind::kMapping) {
      if (active_[node]) return put("{...}");
      active_[node] = 1;
      std::vector<Pair> pairs = entries(node, depth);
      put("{");
      for (size_t idx = 0; idx < pairs.size() && !full_; ++idx) {
        if (idx) put(", ");
        write_scalar(pairs[idx].first);
        put(": ");
        write(pairs[idx].second, depth + 1);
      }
      put("}");
      active_[node] = 0;
    } else {
      write_scalar(node);
    }
  }

  // The mapping's entries as a dictionary holds them: merged entries first, then its own;
  // each key once, at its first place, with its last value.
  std::vector<Pair> entries(size_t mapping, size_t depth) {
    std::vector<Pair> flat;
    std::vector<char> merging(doc_.nodes_.size(), 0);
    flatten(mapping, flat, merging, depth);
    std::vector<Pair> out;
    std::unordered_map<std::string, size_t> position;
    for (const auto& [key, value] : flat) {
      auto [it, inserted] = position.emplace(identity(key), out.size());
      if (inserted) {
        out.emplace_back(key, value);
      } else {
        out[it->second].second = value;
      }
    }
    return out;
  }

  std::string identity(size_t key) const {
    const auto& n = doc_.nodes_[key];
    switch (n.kind) {
      case Kind::kString:
        return "s" + n.text;
      case Kind::kNull:
        return "n";
      case Kind::kBool:
        return doc_.truthy(key) ? "b1" : "b0";
      default:
        return "v" + n.text;
    }
  }

  void flatten(size_t mapping, std::vector<Pair>& out, std::vector<char>& merging, size_t depth) {
    if (depth > kMaxDepth) throw YAMLError("merge keys nested too deeply");
    if (merging[mapping]) throw YAMLError("recursive merge key");
    merging[mapping] = 1;
    const auto& children = doc_.nodes_[mapping].children;
    std::vector<Pair> own;
    for (size_t idx = 0; idx + 1 < children.size(); idx += 2) {
      size_t key = children[idx];
      size_t value = children[idx + 1];
      if (!doc_.is_merge_key(key)) {
        own.emplace_back(key, value);
        continue;
      }
      if (doc_.nodes_[value].kind == Kind::kMapping) {
        flatten(value, out, merging, depth + 1);
      } else {
        const auto& items = doc_.nodes_[value].children;
        for (size_t item = items.size(); item-- > 0;) flatten(items[item], out, merging, depth + 1);
      }
    }
    merging[mapping] = 0;
    // Every mapping visited counts, so merges of empty mappings cannot multiply the work.
    merged_ += 1 + own.size();
    if (merged_ > SafeYamlDocument::MAX_MERGED_PAIRS) throw YAMLError("too many merged keys to convert to text");
    out.insert(out.end(), own.begin(), own.end());
  }

  const SafeYamlDocument& doc_;
  const size_t max_code_points_;
  const size_t max_bytes_;
  std::vector<char> active_;
  std::string out_;
  size_t code_points_ = 0;
  size_t merged_ = 0;
  bool full_ = false;
};

std::string SafeYamlDocument::to_text(size_t node, size_t max_code_points, size_t max_bytes) const {
  return TextWriter(*this, max_code_points, max_bytes).run(node);
}

}  // namespace velko::middleware::skills
