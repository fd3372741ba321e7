#include "velko/middleware/skills/yaml_scalars.h"

#include <limits>
#include <optional>

namespace velko::middleware::skills::yaml {
namespace {

using Kind = YamlKind;

bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool digit_or_underscore(char c) { return is_digit(c) || c == '_'; }

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

}  // namespace

bool is_space(uint32_t cp) {
  if (cp <= 0x20) return cp == 0x20 || (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x1F);
  if (cp < 0x85) return false;
  return cp == 0x85 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 ||
         cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

bool yaml_printable(uint32_t cp) {
  if (cp < 0x80) return cp == 0x09 || cp == 0x0A || cp == 0x0D || (cp >= 0x20 && cp <= 0x7E);
  if (cp < 0xA0) return cp == 0x85;
  return !(cp >= 0xD800 && cp <= 0xDFFF) && cp != 0xFFFE && cp != 0xFFFF;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

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

}  // namespace velko::middleware::skills::yaml
