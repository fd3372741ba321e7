#include "velko/base/strings.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "velko/base/utf8.h"

namespace velko::base {
namespace {
bool is_space(char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\f' || ch == '\v'; }
}  // namespace

std::string_view strip(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && is_space(text[begin])) ++begin;
  while (end > begin && is_space(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  while (true) {
    size_t found = text.find(separator, start);
    if (found == std::string_view::npos) {
      pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, found - start));
    start = found + 1;
  }
}

bool starts_with(std::string_view text, std::string_view prefix) { return text.starts_with(prefix); }
bool ends_with(std::string_view text, std::string_view suffix) { return text.ends_with(suffix); }

std::string seconds_text(double seconds) {
  if (seconds == std::floor(seconds) && std::fabs(seconds) < 1e15) {
    return std::to_string(static_cast<long long>(seconds));
  }
  char text[48];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  std::string out = text;
  while (out.back() == '0') out.pop_back();
  if (out.back() == '.') out.pop_back();
  return out;
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& ch : out) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  }
  return out;
}

std::string ascii_upper(std::string_view text) {
  std::string out(text);
  for (char& ch : out) {
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  }
  return out;
}

std::string replace_all(std::string_view text, std::string_view from, std::string_view to) {
  std::string out;
  if (from.empty()) return std::string(text);
  size_t start = 0;
  while (true) {
    size_t found = text.find(from, start);
    if (found == std::string_view::npos) break;
    out.append(text.substr(start, found - start));
    out.append(to);
    start = found + from.size();
  }
  out.append(text.substr(start));
  return out;
}

namespace {

int hex_value(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

}  // namespace

std::string percent_encode(std::string_view text, std::string_view also_keep) {
  static constexpr char HEX[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char ch : text) {
    bool unreserved = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '-' ||
                      ch == '.' || ch == '_' || ch == '~';
    if (unreserved || (ch != 0 && also_keep.find(static_cast<char>(ch)) != std::string_view::npos)) {
      out += static_cast<char>(ch);
    } else {
      out += '%';
      out += HEX[ch >> 4];
      out += HEX[ch & 0xF];
    }
  }
  return out;
}

std::string percent_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t idx = 0; idx < text.size(); ++idx) {
    if (text[idx] == '%' && idx + 2 < text.size()) {
      int high = hex_value(text[idx + 1]);
      int low = hex_value(text[idx + 2]);
      if (high >= 0 && low >= 0) {
        out += static_cast<char>(high * 16 + low);
        idx += 2;
        continue;
      }
    }
    out += text[idx];
  }
  return out;
}

std::string base64_encode(std::string_view data) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  size_t idx = 0;
  while (idx + 2 < data.size()) {
    uint32_t chunk = (static_cast<unsigned char>(data[idx]) << 16) | (static_cast<unsigned char>(data[idx + 1]) << 8) |
                     static_cast<unsigned char>(data[idx + 2]);
    out += kAlphabet[(chunk >> 18) & 63];
    out += kAlphabet[(chunk >> 12) & 63];
    out += kAlphabet[(chunk >> 6) & 63];
    out += kAlphabet[chunk & 63];
    idx += 3;
  }
  size_t rest = data.size() - idx;
  if (rest > 0) {
    uint32_t chunk = static_cast<unsigned char>(data[idx]) << 16;
    if (rest == 2) chunk |= static_cast<unsigned char>(data[idx + 1]) << 8;
    out += kAlphabet[(chunk >> 18) & 63];
    out += kAlphabet[(chunk >> 12) & 63];
    out += rest == 2 ? kAlphabet[(chunk >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string shorten(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return std::string(text);
  size_t end = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t next = pos;
    decode_utf8(text, next);
    if (next > max_bytes) break;
    end = pos = next;
  }
  return std::string(text.substr(0, end)) + "...";
}

}  // namespace velko::base
