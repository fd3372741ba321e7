#include "velko/base/utf8.h"

#include <cstdio>
#include <cstring>

#include "velko/base/errors.h"

namespace velko::base {

uint32_t decode_utf8(std::string_view text, size_t& pos) {
  auto byte_at = [&](size_t idx) { return static_cast<unsigned char>(text[idx]); };
  unsigned char lead = byte_at(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  size_t length = 0;
  uint32_t code_point = 0;
  uint32_t min_value = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, code_point = lead & 0x1F, min_value = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, code_point = lead & 0x0F, min_value = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, code_point = lead & 0x07, min_value = 0x10000;
  } else {
    ++pos;
    return 0xFFFD;
  }
  if (pos + length > text.size()) {
    ++pos;
    return 0xFFFD;
  }
  for (size_t idx = 1; idx < length; ++idx) {
    unsigned char next = byte_at(pos + idx);
    if ((next & 0xC0) != 0x80) {
      ++pos;
      return 0xFFFD;
    }
    code_point = (code_point << 6) | (next & 0x3F);
  }
  if (code_point < min_value || code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF)) {
    ++pos;
    return 0xFFFD;
  }
  pos += length;
  return code_point;
}

void append_utf8(std::string& out, uint32_t code_point) {
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    out += static_cast<char>(0xC0 | (code_point >> 6));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    out += static_cast<char>(0xE0 | (code_point >> 12));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code_point >> 18));
    out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

bool is_valid_utf8(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t start = pos;
    if (decode_utf8(text, pos) == 0xFFFD && !(pos - start == 3 && text.substr(start, 3) == "\xEF\xBF\xBD")) {
      return false;
    }
  }
  return true;
}

std::string to_valid_utf8(std::string_view text) {
  if (is_valid_utf8(text)) return std::string(text);
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) append_utf8(out, decode_utf8(text, pos));
  return out;
}

size_t count_code_points(std::string_view text) {
  size_t count = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    decode_utf8(text, pos);
    ++count;
  }
  return count;
}

std::string_view prefix_code_points(std::string_view text, size_t count) {
  size_t pos = 0;
  for (size_t taken = 0; taken < count && pos < text.size(); ++taken) decode_utf8(text, pos);
  return text.substr(0, pos);
}

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
    throw UnicodeDecodeError(buffer);
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

}  // namespace velko::base
