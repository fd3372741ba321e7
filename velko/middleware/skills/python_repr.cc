#include "velko/middleware/skills/python_repr.h"

#include <cstdint>
#include <cstdio>

#include "velko/base/utf8.h"

namespace velko::middleware::skills {
namespace {

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

}  // namespace

namespace yaml {

char repr_quote(std::string_view text) {
  bool has_single = text.find('\'') != std::string_view::npos;
  bool has_double = text.find('"') != std::string_view::npos;
  return has_single && !has_double ? '"' : '\'';
}

void append_repr_body(std::string& out, std::string_view text, char quote) {
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

}  // namespace yaml

std::string python_repr(std::string_view text) {
  char quote = yaml::repr_quote(text);
  std::string out(1, quote);
  yaml::append_repr_body(out, text, quote);
  out += quote;
  return out;
}

}  // namespace velko::middleware::skills
