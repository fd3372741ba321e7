#include "velko/middleware/skills/frontmatter.h"

#include <yaml.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <unordered_map>

#include "velko/base/utf8.h"

namespace velko::middleware::skills {

using Kind = SafeYamlDocument::Kind;

namespace {

// ---------------------------------------------------------------------------------------
// Characters

// White space as Python's str.isspace() sees it (what \s matches in a text pattern).
bool is_space(uint32_t cp) {
  if (cp <= 0x20) return cp == 0x20 || (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x1F);
  if (cp < 0x85) return false;
  return cp == 0x85 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 ||
         cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// Characters a YAML stream may hold: tab, LF, CR, printable ASCII, NEL and everything
// from U+00A0 on except surrogates, U+FFFE and U+FFFF.
bool yaml_printable(uint32_t cp) {
  if (cp < 0x80) return cp == 0x09 || cp == 0x0A || cp == 0x0D || (cp >= 0x20 && cp <= 0x7E);
  if (cp < 0xA0) return cp == 0x85;
  return !(cp >= 0xD800 && cp <= 0xDFFF) && cp != 0xFFFE && cp != 0xFFFF;
}

// Characters Python writes as an escape in repr(): controls, separators and format
// characters (the ones a prompt cannot show).
bool repr_printable(uint32_t cp) {
  if (cp < 0x20 || (cp >= 0x7F && cp <= 0xA0)) return false;
  if (cp < 0x100) return cp != 0xAD;
  switch (cp) {
    case 0x061C:
    case 0x06DD:
    case 0x070F:
    case 0x180E:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
    case 0xFEFF:
      return false;
    default:
      break;
  }
  if ((cp >= 0x0600 && cp <= 0x0605) || (cp >= 0x2000 && cp <= 0x200F) || (cp >= 0x202A && cp <= 0x202E) ||
      (cp >= 0x2060 && cp <= 0x206F) || (cp >= 0xD800 && cp <= 0xF8FF) || (cp >= 0xFFF9 && cp <= 0xFFFB) ||
      cp == 0xFFFE || cp == 0xFFFF || (cp >= 0xE0000 && cp <= 0xE007F) || cp >= 0xF0000) {
    return false;
  }
  return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool digit_or_underscore(char c) { return is_digit(c) || c == '_'; }

// ---------------------------------------------------------------------------------------
// Plain-scalar resolution (YAML 1.1, as safe loaders do it)

bool resolves_null(std::string_view v) { return v.empty() || v == "~" || v == "null" || v == "Null" || v == "NULL"; }

std::optional<bool> resolves_bool(std::string_view v) {
  static constexpr std::string_view kTrue[] = {"yes", "Yes", "YES", "true", "True", "TRUE", "on", "On", "ON"};
  static constexpr std::string_view kFalse[] = {"no", "No", "NO", "false", "False", "FALSE", "off", "Off", "OFF"};
  for (auto word : kTrue) {
    if (v == word) return true;
  }
  for (auto word : kFalse) {
    if (v == word) return false;
  }
  return std::nullopt;
}

bool all_of(std::string_view v, bool (*pred)(char)) {
  for (char c : v) {
    if (!pred(c)) return false;
  }
  return true;
}

// Whether every digit in `v` is 0 (underscores and other marks ignored).
bool no_nonzero_digit(std::string_view v) {
  for (char c : v) {
    if (is_hex(c) && c != '0') return false;
  }
  return true;
}

// (':' [0-5]?[0-9])+ from `pos` to the end of `v`.
bool sexagesimal_tail(std::string_view v, size_t pos) {
  if (pos >= v.size()) return false;
  while (pos < v.size()) {
    if (v[pos] != ':') return false;
    ++pos;
    size_t digits = 0;
    while (pos < v.size() && is_digit(v[pos]) && digits < 2) ++pos, ++digits;
    if (digits == 0) return false;
    if (digits == 2 && v[pos - 2] > '5') return false;
  }
  return true;
}

// nullopt: not an integer; else whether it is zero.
std::optional<bool> resolves_int(std::string_view v) {
  std::string_view rest = v;
  if (!rest.empty() && (rest[0] == '-' || rest[0] == '+')) rest.remove_prefix(1);
  if (rest.empty()) return std::nullopt;
  auto bin = [](char c) { return c == '0' || c == '1' || c == '_'; };
  auto hex = [](char c) { return is_hex(c) || c == '_'; };
  auto oct = [](char c) { return (c >= '0' && c <= '7') || c == '_'; };
  auto dec = [](char c) { return is_digit(c) || c == '_'; };
  std::string_view digits = rest.size() > 2 ? rest.substr(2) : std::string_view();
  if (rest.size() > 2 && rest.substr(0, 2) == "0b" && all_of(digits, bin)) return no_nonzero_digit(digits);
  if (rest.size() > 2 && rest.substr(0, 2) == "0x" && all_of(digits, hex)) return no_nonzero_digit(digits);
  if (rest.size() >= 2 && rest[0] == '0' && all_of(rest.substr(1), oct)) return no_nonzero_digit(rest);
  if (rest == "0") return true;
  if (rest[0] >= '1' && rest[0] <= '9') {
    size_t pos = 1;
    while (pos < rest.size() && dec(rest[pos])) ++pos;
    if (pos == rest.size()) return false;
    if (sexagesimal_tail(rest, pos)) return false;
  }
  return std::nullopt;
}

// [eE][-+][0-9]+ from `pos` to the end, or nothing at all.
bool exponent_tail(std::string_view v, size_t pos) {
  if (pos == v.size()) return true;
  if (v[pos] != 'e' && v[pos] != 'E') return false;
  if (pos + 2 >= v.size() || (v[pos + 1] != '-' && v[pos + 1] != '+')) return false;
  return all_of(v.substr(pos + 2), is_digit);
}

// nullopt: not a float; else whether it is zero.
std::optional<bool> resolves_float(std::string_view v) {
  if (v == ".nan" || v == ".NaN" || v == ".NAN") return false;
  std::string_view rest = v;
  bool signed_value = !rest.empty() && (rest[0] == '-' || rest[0] == '+');
  if (signed_value) rest.remove_prefix(1);
  if (rest == ".inf" || rest == ".Inf" || rest == ".INF") return false;
  if (rest.empty()) return std::nullopt;
  auto dec = [](char c) { return is_digit(c) || c == '_'; };
  if (rest[0] == '.') {
    // \.[0-9][0-9_]*(exponent)?, without a sign.
    if (signed_value || rest.size() < 2 || !is_digit(rest[1])) return std::nullopt;
    size_t pos = 2;
    while (pos < rest.size() && dec(rest[pos])) ++pos;
    if (!exponent_tail(rest, pos)) return std::nullopt;
    return no_nonzero_digit(rest.substr(0, pos));
  }
  if (!is_digit(rest[0])) return std::nullopt;
  size_t pos = 1;
  while (pos < rest.size() && dec(rest[pos])) ++pos;
  if (pos < rest.size() && rest[pos] == '.') {
    size_t frac = pos + 1;
    while (frac < rest.size() && dec(rest[frac])) ++frac;
    if (!exponent_tail(rest, frac)) return std::nullopt;
    return no_nonzero_digit(rest.substr(0, frac));
  }
  if (pos < rest.size() && rest[pos] == ':') {
    // [0-9][0-9_]*(:[0-5]?[0-9])+\.[0-9_]*
    size_t dot = rest.find('.', pos);
    if (dot == std::string_view::npos || !sexagesimal_tail(rest.substr(0, dot), pos)) return std::nullopt;
    if (!all_of(rest.substr(dot + 1), digit_or_underscore)) return std::nullopt;
    return no_nonzero_digit(rest);
  }
  return std::nullopt;
}

bool digits_at(std::string_view v, size_t& pos, size_t min, size_t max) {
  size_t count = 0;
  while (pos < v.size() && count < max && is_digit(v[pos])) ++pos, ++count;
  return count >= min;
}

bool resolves_timestamp(std::string_view v) {
  size_t pos = 0;
  if (!digits_at(v, pos, 4, 4) || pos >= v.size() || v[pos++] != '-') return false;
  if (v.size() == 10) {
    return digits_at(v, pos, 2, 2) && pos < v.size() && v[pos++] == '-' && digits_at(v, pos, 2, 2) && pos == v.size();
  }
  if (!digits_at(v, pos, 1, 2) || pos >= v.size() || v[pos++] != '-' || !digits_at(v, pos, 1, 2)) return false;
  if (pos >= v.size()) return false;
  if (v[pos] == 'T' || v[pos] == 't') {
    ++pos;
  } else {
    size_t spaces = 0;
    while (pos < v.size() && (v[pos] == ' ' || v[pos] == '\t')) ++pos, ++spaces;
    if (spaces == 0) return false;
  }
  if (!digits_at(v, pos, 1, 2) || pos >= v.size() || v[pos++] != ':' || !digits_at(v, pos, 2, 2) || pos >= v.size() ||
      v[pos++] != ':' || !digits_at(v, pos, 2, 2)) {
    return false;
  }
  if (pos < v.size() && v[pos] == '.') {
    ++pos;
    digits_at(v, pos, 0, std::numeric_limits<size_t>::max());
  }
  if (pos == v.size()) return true;
  while (pos < v.size() && (v[pos] == ' ' || v[pos] == '\t')) ++pos;
  if (pos < v.size() && v[pos] == 'Z') return pos + 1 == v.size();
  if (pos >= v.size() || (v[pos] != '-' && v[pos] != '+')) return false;
  ++pos;
  if (!digits_at(v, pos, 1, 2)) return false;
  if (pos < v.size() && v[pos] == ':') {
    ++pos;
    if (!digits_at(v, pos, 2, 2)) return false;
  }
  return pos == v.size();
}

struct Resolved {
  Kind kind;
  bool truthy;
};

Resolved resolve_plain(std::string_view v) {
  if (resolves_null(v)) return {Kind::kNull, false};
  if (auto b = resolves_bool(v)) return {Kind::kBool, *b};
  if (auto zero = resolves_float(v)) return {Kind::kFloat, !*zero};
  if (auto zero = resolves_int(v)) return {Kind::kInt, !*zero};
  if (resolves_timestamp(v)) return {Kind::kTimestamp, true};
  return {Kind::kString, true};
}

constexpr std::string_view kCoreTagPrefix = "tag:yaml.org,2002:";

std::string constructor_error(const std::string& tag) {
  return "could not determine a constructor for the tag '" + tag + "'";
}

// The kind of a scalar with an explicit tag (nullopt: the tag names no scalar type).
Resolved resolve_tagged(const std::string& tag, std::string_view v) {
  std::string_view name = std::string_view(tag).substr(kCoreTagPrefix.size());
  auto invalid = [&]() { return YAMLError("invalid value for the tag '" + tag + "': '" + std::string(v) + "'"); };
  if (name == "str" || name == "binary") return {Kind::kString, !v.empty()};
  if (name == "null") {
    if (!resolves_null(v)) throw invalid();
    return {Kind::kNull, false};
  }
  if (name == "bool") {
    auto b = resolves_bool(v);
    if (!b) throw invalid();
    return {Kind::kBool, *b};
  }
  if (name == "int") {
    auto zero = resolves_int(v);
    if (!zero) throw invalid();
    return {Kind::kInt, !*zero};
  }
  if (name == "float") {
    auto zero = resolves_float(v);
    if (!zero) zero = resolves_int(v);
    if (!zero) throw invalid();
    return {Kind::kFloat, !*zero};
  }
  if (name == "timestamp") {
    if (!resolves_timestamp(v)) throw invalid();
    return {Kind::kTimestamp, true};
  }
  throw YAMLError(constructor_error(tag));
}

bool is_core_tag(const std::string& tag, std::initializer_list<std::string_view> names) {
  if (tag.compare(0, kCoreTagPrefix.size(), kCoreTagPrefix) != 0) return false;
  std::string_view name = std::string_view(tag).substr(kCoreTagPrefix.size());
  for (auto candidate : names) {
    if (name == candidate) return true;
  }
  return false;
}

// Nesting limit for the walks over a loaded document (aliases can chain nodes far deeper
// than the parser's own nesting limit).
constexpr size_t kMaxDepth = 1000;

}  // namespace

// ---------------------------------------------------------------------------------------
// The front-matter match

std::optional<std::string_view> match_front_matter(std::string_view text) {
  constexpr size_t npos = std::string_view::npos;
  if (text.substr(0, 3) != "---") return std::nullopt;
  // The white-space run after the opening dashes; the \n that ends the opening line is
  // one of its line feeds (the last that still lets the rest match).
  size_t pos = 3;
  size_t last_lf = npos;
  size_t previous_lf = npos;
  while (pos < text.size()) {
    size_t start = pos;
    uint32_t cp = base::decode_utf8(text, pos);
    if (!is_space(cp)) {
      pos = start;
      break;
    }
    if (cp == '\n') previous_lf = last_lf, last_lf = start;
  }
  const size_t run_end = pos;
  if (last_lf == npos) return std::nullopt;

  // A closing line starts at a line feed `at`: "\n---", then white space holding a \n.
  auto closes_at = [&](size_t at, size_t& scanned_to) {
    size_t p = at + 4;
    while (p < text.size()) {
      size_t start = p;
      uint32_t cp = base::decode_utf8(text, p);
      if (cp == '\n') return true;
      if (!is_space(cp)) {
        scanned_to = start;
        return false;
      }
    }
    scanned_to = p;
    return false;
  };
  // The shortest group after the last line feed of the opening run.
  const size_t group = last_lf + 1;
  size_t from = group;
  while (true) {
    // Each candidate's white-space scan ends before the next candidate can start, so the
    // whole search is one pass over the text.
    size_t at = text.find("\n---", from);
    if (at == npos) break;
    size_t scanned_to = at + 1;
    if (closes_at(at, scanned_to)) return text.substr(group, at - group);
    from = std::max(at + 1, scanned_to);
  }
  // No closing line after the opening run's last line feed. One remains possible: the run
  // ends with that line feed and "---" follows it; the opening line then ends at the
  // run's previous line feed, and the group is the white space between the two.
  if (previous_lf != npos && last_lf + 1 == run_end) {
    size_t ignored = 0;
    if (text.compare(last_lf + 1, 3, "---") == 0 && closes_at(last_lf, ignored)) {
      return text.substr(previous_lf + 1, last_lf - (previous_lf + 1));
    }
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------------------
// Loading

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

// ---------------------------------------------------------------------------------------
// Conversion to text

static char repr_quote(std::string_view text) {
  bool has_single = text.find('\'') != std::string_view::npos;
  bool has_double = text.find('"') != std::string_view::npos;
  return has_single && !has_double ? '"' : '\'';
}

static void append_repr_body(std::string& out, std::string_view text, char quote) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t start = pos;
    uint32_t cp = base::decode_utf8(text, pos);
    char escape[16];
    if (cp == '\\' || cp == static_cast<uint32_t>(quote)) {
      out += '\\';
      out += static_cast<char>(cp);
    } else if (cp == '\t') {
      out += "\\t";
    } else if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\r') {
      out += "\\r";
    } else if (cp == 0xFFFD && text.substr(start, pos - start) != "\xEF\xBF\xBD") {
      // An invalid byte: shown as its value.
      std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(text[start]));
      out += escape;
    } else if (!repr_printable(cp)) {
      if (cp < 0x100) {
        std::snprintf(escape, sizeof escape, "\\x%02x", cp);
      } else if (cp < 0x10000) {
        std::snprintf(escape, sizeof escape, "\\u%04x", cp);
      } else {
        std::snprintf(escape, sizeof escape, "\\U%08x", cp);
      }
      out += escape;
    } else {
      out.append(text.substr(start, pos - start));
    }
  }
}

std::string python_repr(std::string_view text) {
  char quote = repr_quote(text);
  std::string out(1, quote);
  append_repr_body(out, text, quote);
  out += quote;
  return out;
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
    char quote = repr_quote(text);
    std::string piece(1, quote);
    // In slices, so a long text stops costing once the limit is reached.
    while (!text.empty() && !full_) {
      size_t cut = std::min<size_t>(text.size(), 4096);
      while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) ++cut;
      append_repr_body(piece, text.substr(0, cut), quote);
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

// ---------------------------------------------------------------------------------------
// The whole read

namespace {

bool key_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool key_char(char c) { return key_start(c) || is_digit(c) || c == '-'; }

// A plain scalar that YAML reads back as exactly these characters on one line: printable
// ASCII, no indicator first, no ": " or " #" inside, no ":" or white space at the end.
bool simple_plain(std::string_view v) {
  if (v.empty()) return true;
  static constexpr std::string_view kIndicators = "-?:,[]{}#&*!|>'\"%@` ";
  if (kIndicators.find(v.front()) != std::string_view::npos) return false;
  if (v.back() == ':' || v.back() == ' ') return false;
  for (size_t idx = 0; idx < v.size(); ++idx) {
    char c = v[idx];
    if (c < 0x20 || c > 0x7E) return false;
    if (c == ':' && idx + 1 < v.size() && v[idx + 1] == ' ') return false;
    if (c == '#' && v[idx - 1] == ' ') return false;
  }
  return true;
}

// The fields of a front matter made only of "key: plain value" lines (the common case),
// read without the YAML parser; nullopt for anything else. Gives what the full reader
// gives for the same text (the fuzz target checks this).
std::optional<FrontMatterFields> read_simple_front_matter(std::string_view front_matter, size_t max_description) {
  if (front_matter.empty()) return std::nullopt;
  std::optional<std::string_view> name;
  std::optional<std::string_view> description;
  size_t pos = 0;
  while (pos <= front_matter.size()) {
    size_t end = front_matter.find('\n', pos);
    if (end == std::string_view::npos) end = front_matter.size();
    std::string_view line = front_matter.substr(pos, end - pos);
    if (line.empty() || !key_start(line[0])) return std::nullopt;
    size_t colon = 1;
    while (colon < line.size() && key_char(line[colon])) ++colon;
    if (colon == line.size() || line[colon] != ':') return std::nullopt;
    std::string_view key = line.substr(0, colon);
    std::string_view value;
    if (colon + 1 < line.size()) {
      if (line[colon + 1] != ' ') return std::nullopt;
      value = line.substr(colon + 2);
      if (!simple_plain(value)) return std::nullopt;
    }
    if (key == "name") name = value;
    if (key == "description") description = value;
    pos = end + 1;
  }
  FrontMatterFields fields;
  if (!name || !description || !resolve_plain(*name).truthy || !resolve_plain(*description).truthy) {
    fields.status = FrontMatterFields::Status::kMissingField;
    return fields;
  }
  fields.status = FrontMatterFields::Status::kOk;
  fields.name = std::string(*name);
  fields.description = std::string(description->substr(0, max_description));  // ASCII: one byte each
  return fields;
}

}  // namespace

FrontMatterFields read_front_matter(std::string_view text, size_t max_description, size_t max_name_bytes) {
  std::optional<std::string_view> front_matter = match_front_matter(text);
  if (!front_matter) return FrontMatterFields{};
  if (auto simple = read_simple_front_matter(*front_matter, max_description)) return *simple;
  return read_front_matter_with_parser(text, max_description, max_name_bytes);
}

FrontMatterFields read_front_matter_with_parser(std::string_view text, size_t max_description, size_t max_name_bytes) {
  FrontMatterFields fields;
  std::optional<std::string_view> front_matter = match_front_matter(text);
  if (!front_matter) return fields;
  SafeYamlDocument doc = SafeYamlDocument::load(*front_matter);
  if (!doc.root_is_mapping()) {
    fields.status = FrontMatterFields::Status::kNotMapping;
    return fields;
  }
  std::optional<size_t> name = doc.find(*doc.root(), "name");
  std::optional<size_t> description = doc.find(*doc.root(), "description");
  if (!name || !description || !doc.truthy(*name) || !doc.truthy(*description)) {
    fields.status = FrontMatterFields::Status::kMissingField;
    return fields;
  }
  // A name written without aliases never needs more than a few times the front matter's
  // size; more than that is alias expansion, refused instead of built.
  size_t name_budget = std::min(max_name_bytes, 8 * front_matter->size() + 4096);
  fields.name = doc.to_text(*name, std::numeric_limits<size_t>::max(), name_budget);
  fields.description = doc.to_text(*description, max_description, std::numeric_limits<size_t>::max());
  fields.status = FrontMatterFields::Status::kOk;
  return fields;
}

// ---------------------------------------------------------------------------------------
// Reading text files

std::string decode_text_file(std::string bytes) {
  // Line ends are rewritten in place: `written` trails `pos` once a CR has been seen.
  auto* data = reinterpret_cast<unsigned char*>(bytes.data());
  const size_t size = bytes.size();
  size_t pos = 0;
  size_t copied = 0;   // bytes before this offset are settled
  size_t written = 0;  // where the bytes from `copied` on belong
  auto fail = [&](size_t at, const char* reason) {
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, "'utf-8' codec can't decode byte 0x%02x in position %zu: %s", data[at], at,
                  reason);
    throw base::UnicodeDecodeError(buffer);
  };
  while (pos < size) {
    // Fast path over plain ASCII without CR, eight bytes at a time.
    while (pos + 8 <= size) {
      uint64_t word;
      std::memcpy(&word, data + pos, 8);
      if (word & 0x8080808080808080ULL) break;
      uint64_t cr = word ^ 0x0D0D0D0D0D0D0D0DULL;
      if ((cr - 0x0101010101010101ULL) & ~cr & 0x8080808080808080ULL) break;
      pos += 8;
    }
    if (pos >= size) break;
    unsigned char lead = data[pos];
    if (lead < 0x80) {
      if (lead == '\r') {
        if (written != copied) std::memmove(data + written, data + copied, pos - copied);
        written += pos - copied;
        data[written++] = '\n';
        pos += (pos + 1 < size && data[pos + 1] == '\n') ? 2 : 1;
        copied = pos;
      } else {
        ++pos;
      }
      continue;
    }
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      fail(pos, "invalid start byte");
    }
    for (size_t idx = 1; idx < length; ++idx) {
      if (pos + idx >= size) fail(pos, "unexpected end of data");
      unsigned char next = data[pos + idx];
      bool ok = idx == 1 ? (next >= low && next <= high) : (next >= 0x80 && next <= 0xBF);
      if (!ok) fail(pos, "invalid continuation byte");
    }
    pos += length;
  }
  if (written != copied) {
    std::memmove(data + written, data + copied, size - copied);
    bytes.resize(written + (size - copied));
  }
  return bytes;
}

}  // namespace velko::middleware::skills
