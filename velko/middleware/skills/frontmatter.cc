#include "velko/middleware/skills/frontmatter.h"

#include <limits>

#include "velko/base/utf8.h"

namespace velko::middleware::skills {

using yaml::is_digit;
using yaml::is_space;
using yaml::resolve_plain;

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

}  // namespace velko::middleware::skills
