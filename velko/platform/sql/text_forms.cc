#include "velko/platform/sql/text_forms.h"

#include <charconv>
#include <cstdint>
#include <optional>
#include <vector>

namespace velko::platform::sql {
namespace {

bool is_digit(char ch) { return ch >= '0' && ch <= '9'; }

bool all_digits(std::string_view text) {
  if (text.empty()) return false;
  for (char ch : text) {
    if (!is_digit(ch)) return false;
  }
  return true;
}

std::optional<int64_t> to_int(std::string_view text) {
  int64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// "HH:MM:SS[.ffffff]" with HH any number of digits; returns microseconds.
std::optional<int64_t> clock_micros(std::string_view text) {
  size_t first = text.find(':');
  size_t second = first == std::string_view::npos ? first : text.find(':', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  std::string_view hours = text.substr(0, first);
  std::string_view minutes = text.substr(first + 1, second - first - 1);
  std::string_view seconds = text.substr(second + 1);
  std::string_view fraction;
  if (size_t dot = seconds.find('.'); dot != std::string_view::npos) {
    fraction = seconds.substr(dot + 1);
    seconds = seconds.substr(0, dot);
    if (!all_digits(fraction) || fraction.size() > 6) return std::nullopt;
  }
  if (!all_digits(hours) || hours.size() > 10 || !all_digits(minutes) || !all_digits(seconds)) return std::nullopt;
  int64_t micros = 0;
  for (size_t idx = 0; idx < 6; ++idx) micros = micros * 10 + (idx < fraction.size() ? fraction[idx] - '0' : 0);
  return ((*to_int(hours) * 60 + *to_int(minutes)) * 60 + *to_int(seconds)) * 1000000 + micros;
}

bool two_digits(std::string_view text, size_t at) {
  return at + 2 <= text.size() && is_digit(text[at]) && is_digit(text[at + 1]);
}

// Appends zone "+HH", "+HH:MM", "+HH:MM:SS" (or "-") as "+HH:MM[:SS]"; false (out
// unchanged) when it is not a zone.
bool append_zone(std::string& out, std::string_view zone) {
  if (zone.size() < 3 || (zone[0] != '+' && zone[0] != '-') || !two_digits(zone, 1)) return false;
  std::string_view minutes = "00";
  std::string_view seconds;
  if (zone.size() > 3) {
    if (zone.size() < 6 || zone[3] != ':' || !two_digits(zone, 4)) return false;
    minutes = zone.substr(4, 2);
    if (zone.size() > 6) {
      if (zone.size() != 9 || zone[6] != ':' || !two_digits(zone, 7)) return false;
      seconds = zone.substr(7, 2);
    }
  }
  out += zone.substr(0, 3);
  out += ':';
  out += minutes;
  if (!seconds.empty() && seconds != "00") {
    out += ':';
    out += seconds;
  }
  return true;
}

// Appends "HH:MM:SS[.ffffff][zone]" for `text` "HH:MM:SS[.f][zone]" with a two-digit hour
// below 24 (the fraction padded to six digits); false (out unchanged) otherwise.
bool append_clock(std::string& out, std::string_view text) {
  size_t zone_start = text.find_first_of("+-");
  std::string_view clock = text.substr(0, zone_start);
  if (clock.size() < 8 || clock[2] != ':' || clock[5] != ':') return false;
  if (!two_digits(clock, 0) || !two_digits(clock, 3) || !two_digits(clock, 6)) return false;
  if ((clock[0] - '0') * 10 + (clock[1] - '0') > 23) return false;
  std::string_view fraction = clock.substr(8);
  if (!fraction.empty() && (fraction[0] != '.' || fraction.size() > 7 || !all_digits(fraction.substr(1)))) {
    return false;
  }
  const size_t start = out.size();
  out += clock.substr(0, 8);
  if (!fraction.empty()) {
    out += fraction;
    out.append(7 - fraction.size(), '0');
  }
  if (zone_start != std::string_view::npos && !append_zone(out, text.substr(zone_start))) {
    out.resize(start);
    return false;
  }
  return true;
}

// Appends non-negative `value` with at least `width` digits, zero-padded.
void append_padded(std::string& out, int64_t value, int width) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0 && count < 20);
  for (int pad = count; pad < width; ++pad) out += '0';
  while (count > 0) out += digits[--count];
}

std::string hex2(unsigned value) {
  static constexpr char kHex[] = "0123456789abcdef";
  return {kHex[(value >> 4) & 0xF], kHex[value & 0xF]};
}

}  // namespace

std::string decimal_text(std::string_view text) {
  std::string_view body = text;
  std::string sign;
  if (!body.empty() && (body[0] == '-' || body[0] == '+')) {
    if (body[0] == '-') sign = "-";
    body.remove_prefix(1);
  }
  if (body == "NaN" || body == "Infinity") return sign + std::string(body);
  size_t dot = body.find('.');
  std::string_view integer = body.substr(0, dot);
  std::string_view fraction = dot == std::string_view::npos ? std::string_view() : body.substr(dot + 1);
  if ((integer.empty() && fraction.empty()) || (!integer.empty() && !all_digits(integer)) ||
      (!fraction.empty() && !all_digits(fraction))) {
    return std::string(text);
  }
  // The usual form ("1234.50", "-7"): an integer part without leading zeros reads the
  // same as a decimal; only the sign's form may differ.
  if (!integer.empty() && integer[0] != '0' && (dot == std::string_view::npos || !fraction.empty())) {
    return text[0] == '+' ? std::string(body) : std::string(text);
  }
  // Decimal's coefficient and exponent, then its to-scientific-string rules.
  std::string coefficient = std::string(integer) + std::string(fraction);
  size_t nonzero = coefficient.find_first_not_of('0');
  coefficient = nonzero == std::string::npos ? "0" : coefficient.substr(nonzero);
  const long long exponent = -static_cast<long long>(fraction.size());
  const long long left_digits = exponent + static_cast<long long>(coefficient.size());
  const long long dot_place = (exponent <= 0 && left_digits > -6) ? left_digits : 1;
  std::string out = sign;
  if (dot_place <= 0) {
    out += "0." + std::string(static_cast<size_t>(-dot_place), '0') + coefficient;
  } else if (dot_place >= static_cast<long long>(coefficient.size())) {
    out += coefficient + std::string(static_cast<size_t>(dot_place) - coefficient.size(), '0');
  } else {
    out += coefficient.substr(0, static_cast<size_t>(dot_place)) + "." +
           coefficient.substr(static_cast<size_t>(dot_place));
  }
  if (left_digits != dot_place) {
    long long shown = left_digits - dot_place;
    out += (shown < 0 ? "E-" : "E+") + std::to_string(shown < 0 ? -shown : shown);
  }
  return out;
}

std::string timestamp_text(std::string_view text) {
  // "YYYY-MM-DD HH:MM:SS[.f][zone]"; anything else (BC, infinity, 5-digit years) stays.
  if (text.size() < 19 || text[4] != '-' || text[7] != '-' || text[10] != ' ') return std::string(text);
  std::string_view date = text.substr(0, 10);
  if (!all_digits(date.substr(0, 4)) || !two_digits(date, 5) || !two_digits(date, 8) || date.substr(0, 4) == "0000") {
    return std::string(text);
  }
  std::string out;
  out.reserve(32);
  out += text.substr(0, 11);
  if (!append_clock(out, text.substr(11))) return std::string(text);
  return out;
}

std::string time_text(std::string_view text) {
  std::string out;
  out.reserve(24);
  if (!append_clock(out, text)) return std::string(text);
  return out;
}

std::string interval_text(std::string_view text) {
  // "[N year[s]] [N mon[s]] [N day[s]] [[+-]H:MM:SS[.f]]", each number signed.
  int64_t days = 0;
  int64_t micros = 0;
  size_t pos = 0;
  auto next_word = [&]() -> std::string_view {
    while (pos < text.size() && text[pos] == ' ') ++pos;
    size_t start = pos;
    while (pos < text.size() && text[pos] != ' ') ++pos;
    return text.substr(start, pos - start);
  };
  bool any = false;
  while (true) {
    std::string_view word = next_word();
    if (word.empty()) break;
    any = true;
    if (word.find(':') != std::string_view::npos) {
      bool negative = word[0] == '-';
      if (word[0] == '-' || word[0] == '+') word.remove_prefix(1);
      auto clock = clock_micros(word);
      if (!clock || !next_word().empty()) return std::string(text);
      micros = negative ? -*clock : *clock;
      break;
    }
    auto count = to_int(word[0] == '+' ? word.substr(1) : word);
    std::string_view unit = next_word();
    if (!count || *count > 1000000000 || *count < -1000000000) return std::string(text);
    if (unit == "year" || unit == "years") {
      days += *count * 365;
    } else if (unit == "mon" || unit == "mons") {
      days += *count * 30;
    } else if (unit == "day" || unit == "days") {
      days += *count;
    } else {
      return std::string(text);
    }
  }
  if (!any) return std::string(text);
  // Normalise as a timedelta: whole days (floor) and a non-negative rest below one day.
  constexpr int64_t kDay = 86400LL * 1000000LL;
  int64_t day_shift = micros / kDay;
  int64_t rest = micros % kDay;
  if (rest < 0) {
    rest += kDay;
    --day_shift;
  }
  days += day_shift;
  if (days > 999999999 || days < -999999999) return std::string(text);
  int64_t seconds = rest / 1000000;
  int64_t fraction = rest % 1000000;
  std::string out;
  if (days != 0) out = std::to_string(days) + (days == 1 || days == -1 ? " day, " : " days, ");
  out += std::to_string(seconds / 3600);
  out += ':';
  append_padded(out, seconds / 60 % 60, 2);
  out += ':';
  append_padded(out, seconds % 60, 2);
  if (fraction != 0) {
    out += '.';
    append_padded(out, fraction, 6);
  }
  return out;
}

std::string bytes_repr(std::string_view bytes) {
  bool has_single = bytes.find('\'') != std::string_view::npos;
  bool has_double = bytes.find('"') != std::string_view::npos;
  char quote = has_single && !has_double ? '"' : '\'';
  std::string out = "b";
  out += quote;
  for (unsigned char ch : bytes) {
    if (ch == static_cast<unsigned char>(quote) || ch == '\\') {
      out += '\\';
      out += static_cast<char>(ch);
    } else if (ch == '\t') {
      out += "\\t";
    } else if (ch == '\n') {
      out += "\\n";
    } else if (ch == '\r') {
      out += "\\r";
    } else if (ch < 0x20 || ch >= 0x7f) {
      out += "\\x" + hex2(ch);
    } else {
      out += static_cast<char>(ch);
    }
  }
  out += quote;
  return out;
}

std::string bytea_text(std::string_view hex) {
  if (!hex.starts_with("\\x") || hex.size() % 2 != 0) return std::string(hex);
  auto nibble = [](char ch) -> int {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
  };
  std::string bytes;
  bytes.reserve(hex.size() / 2);
  for (size_t idx = 2; idx < hex.size(); idx += 2) {
    int high = nibble(hex[idx]);
    int low = nibble(hex[idx + 1]);
    if (high < 0 || low < 0) return std::string(hex);
    bytes += static_cast<char>(high * 16 + low);
  }
  return bytes_repr(bytes);
}

}  // namespace velko::platform::sql
