#include "velko/base/strings.h"

#include "velko/base/utf8.h"

namespace velko::base {
namespace {
bool is_space(char ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\f' || ch == '\v';
}
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

std::string scrub(std::string text, std::string_view secret) {
  if (secret.empty()) return text;
  for (size_t pos = text.find(secret); pos != std::string::npos; pos = text.find(secret, pos + 3)) {
    text.replace(pos, secret.size(), "***");
  }
  return text;
}

}  // namespace velko::base
