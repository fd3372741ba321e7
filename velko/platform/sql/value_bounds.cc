#include "velko/platform/sql/value_bounds.h"

#include "velko/base/utf8.h"

namespace velko::platform::sql {
namespace {

constexpr std::string_view kEllipsis = "\xE2\x80\xA6 [";  // "… ["
constexpr std::string_view kTail = " more characters]";

bool is_cut_form(std::string_view text, size_t max_bytes) {
  if (!text.ends_with(kTail)) return false;
  size_t marker = text.rfind(kEllipsis);
  // A cut keeps max_bytes, less up to 3 bytes of a split UTF-8 sequence.
  if (marker == std::string_view::npos || marker > max_bytes || marker + 3 < max_bytes) return false;
  std::string_view digits = text.substr(marker + kEllipsis.size());
  digits.remove_suffix(kTail.size());
  return !digits.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos;
}

// Where a cut of `text` to `max_bytes` ends: never inside a UTF-8 sequence.
size_t cut_point(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return text.size();
  size_t keep = max_bytes;
  // Back off to the start of a UTF-8 sequence (continuation bytes are 10xxxxxx).
  while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80 && max_bytes - keep < 3) --keep;
  return keep;
}

void append_marker(std::string& text, size_t dropped) {
  text.append(kEllipsis).append(std::to_string(dropped)).append(kTail);
}

}  // namespace

bool cut_long_text(std::string& text, size_t max_bytes) {
  if (text.size() <= max_bytes || is_cut_form(text, max_bytes)) return false;
  size_t keep = cut_point(text, max_bytes);
  size_t dropped = base::count_code_points(std::string_view(text).substr(keep));
  text.resize(keep);
  append_marker(text, dropped);
  text.shrink_to_fit();  // resize() keeps the capacity: a cut 20 MB value would still hold 20 MB
  return true;
}

std::string cut_text_start(std::string_view start, size_t total_code_points, size_t max_bytes) {
  std::string text(start.substr(0, cut_point(start, max_bytes)));
  size_t kept = base::count_code_points(text);
  append_marker(text, total_code_points > kept ? total_code_points - kept : 0);
  return text;
}

Json bounded_value(Json value, size_t max_bytes) {
  if (value.is_string()) {
    cut_long_text(value.get_ref<std::string&>(), max_bytes);
    return value;
  }
  if (value.is_array() || value.is_object()) {
    std::string text = base::dumps(value);
    if (text.size() > max_bytes) {
      cut_long_text(text, max_bytes);
      return Json(std::move(text));
    }
  }
  return value;
}

}  // namespace velko::platform::sql
