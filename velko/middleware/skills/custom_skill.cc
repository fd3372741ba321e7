#include "velko/middleware/skills/custom_skill.h"

#include <cstdio>
#include <limits>
#include <optional>

#include "velko/base/utf8.h"
#include "velko/middleware/skills/frontmatter.h"

namespace velko::middleware::skills {
namespace {

// Whether "key: {value}" reads back as exactly `value` (one key, the value's text).
bool reads_back_plain(std::string_view key, const std::string& value) {
  std::string document = std::string(key) + ": " + value;
  try {
    SafeYamlDocument doc = SafeYamlDocument::load(document);
    if (!doc.root_is_mapping()) return false;
    size_t root = *doc.root();
    std::optional<size_t> found = doc.find(root, key);
    if (!found) return false;
    // Exactly one entry: a value that carries "\nother: x" would add keys.
    SafeYamlDocument::Kind kind = doc.kind(*found);
    if (kind == SafeYamlDocument::Kind::kSequence || kind == SafeYamlDocument::Kind::kMapping) return false;
    if (!doc.truthy(*found) && !value.empty()) return false;
    return doc.to_text(*found, std::numeric_limits<size_t>::max(), document.size() * 8 + 64) == value &&
           doc.node_count() == 3;
  } catch (const YAMLError&) {
    return false;
  }
}

// A YAML double-quoted scalar holding `value`.
std::string double_quoted(std::string_view value) {
  std::string out = "\"";
  size_t pos = 0;
  while (pos < value.size()) {
    size_t start = pos;
    uint32_t cp = base::decode_utf8(value, pos);
    char escape[16];
    switch (cp) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case 0x85:
        out += "\\N";
        continue;
      case 0x2028:
        out += "\\L";
        continue;
      case 0x2029:
        out += "\\P";
        continue;
      default:
        break;
    }
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
      std::snprintf(escape, sizeof escape, "\\x%02X", cp);
      out += escape;
    } else if (cp == 0xFFFE || cp == 0xFFFF || (cp == 0xFFFD && value.substr(start, pos - start) != "\xEF\xBF\xBD")) {
      std::snprintf(escape, sizeof escape, "\\u%04X", cp);
      out += escape;
    } else {
      out.append(value.substr(start, pos - start));
    }
  }
  out += '"';
  return out;
}

}  // namespace

bool _is_safe_skill_name(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name != "default" &&
         name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

std::string _build_custom_skill_md(const std::string& name, const std::string& description,
                                   const std::string& content) {
  std::string name_field = reads_back_plain("name", name) ? name : double_quoted(name);
  std::string description_field =
      reads_back_plain("description", description) ? description : double_quoted(description);
  return "---\nname: " + name_field + "\ndescription: " + description_field + "\n---\n\n" + content + "\n";
}

}  // namespace velko::middleware::skills
