#include "velko/base/printable.h"

#include <cstdint>

#include "velko/base/utf8.h"

namespace velko::base {
namespace {

constexpr uint32_t kReplacement = 0xFFFD;

// Printable ASCII or a tab: copied without decoding.
constexpr bool is_plain_ascii(unsigned char byte) { return (byte >= 0x20 && byte < 0x7F) || byte == '\t'; }

}  // namespace

std::string printable_text(std::string_view text, LineBreaks line_breaks) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    const unsigned char byte = static_cast<unsigned char>(text[pos]);
    if (is_plain_ascii(byte)) {
      out += static_cast<char>(byte);
      ++pos;
      continue;
    }
    const size_t start = pos;
    const uint32_t code_point = decode_utf8(text, pos);  // advances pos; U+FFFD for a bad byte
    const bool line_break = code_point == '\n' || code_point == 0x2028 || code_point == 0x2029;
    if (line_break) {
      if (line_breaks == LineBreaks::kJoin) {
        out += ' ';
      } else {
        out.append(text.data() + start, pos - start);
      }
    } else if (code_point < 0x20 || (code_point >= 0x7F && code_point <= 0x9F)) {
      append_utf8(out, kReplacement);
    } else {
      append_utf8(out, code_point);  // a bad byte comes back as U+FFFD here too
    }
  }
  return out;
}

}  // namespace velko::base
