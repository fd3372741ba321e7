#include "velko/base/json.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "velko/base/errors.h"
#include "velko/base/utf8.h"

namespace velko::base {
namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_u_escape(std::string& out, uint32_t unit) {
  out += "\\u";
  out += kHex[(unit >> 12) & 0xF];
  out += kHex[(unit >> 8) & 0xF];
  out += kHex[(unit >> 4) & 0xF];
  out += kHex[unit & 0xF];
}

template <typename Integer>
void append_number(std::string& out, Integer value) {
  char digits[24];
  auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

// Whether `byte` is copied as it is: printable ASCII other than the quote and backslash.
constexpr bool is_plain(unsigned char byte) { return byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\'; }

void append_quoted(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + 2);
  out += '"';
  size_t pos = 0;
  while (pos < text.size()) {
    size_t run = pos;
    while (run < text.size() && is_plain(static_cast<unsigned char>(text[run]))) ++run;
    if (run > pos) {
      out.append(text.data() + pos, run - pos);
      pos = run;
      if (pos == text.size()) break;
    }
    unsigned char byte = static_cast<unsigned char>(text[pos]);
    if (byte < 0x80) {
      ++pos;
      switch (byte) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\b':
          out += "\\b";
          break;
        case '\f':
          out += "\\f";
          break;
        default:
          if (byte < 0x20 || byte == 0x7F) {
            append_u_escape(out, byte);
          } else {
            out += static_cast<char>(byte);
          }
      }
      continue;
    }
    uint32_t code_point = decode_utf8(text, pos);  // advances pos; U+FFFD on bad bytes
    if (code_point >= 0x10000) {
      uint32_t offset = code_point - 0x10000;
      append_u_escape(out, 0xD800 + (offset >> 10));
      append_u_escape(out, 0xDC00 + (offset & 0x3FF));
    } else {
      append_u_escape(out, code_point);
    }
  }
  out += '"';
}

}  // namespace

std::string text_member(const Json& object, std::string_view key) {
  if (!object.is_object()) return {};
  auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

bool is_falsy(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return true;
    case Json::value_t::boolean:
      return !value.get<bool>();
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      return value.get<long long>() == 0;
    case Json::value_t::number_float:
      return value.get<double>() == 0.0;
    case Json::value_t::string:
      return value.get_ref<const std::string&>().empty();  // Json::empty() is false for any string
    case Json::value_t::array:
    case Json::value_t::object:
      return value.empty();
    default:
      return false;
  }
}

std::string float_repr(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
  // Shortest round-trip digits in scientific form: [-]d[.ddd]e[+-]xx
  char buf[64];
  auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string sci(buf, result.ptr);
  bool negative = sci[0] == '-';
  if (negative) sci.erase(0, 1);
  size_t e_pos = sci.find('e');
  std::string mantissa = sci.substr(0, e_pos);
  int exponent = std::atoi(sci.c_str() + e_pos + 1);
  std::string digits;
  for (char ch : mantissa) {
    if (ch != '.') digits += ch;
  }
  std::string out = negative ? "-" : "";
  if (exponent < -4 || exponent >= 16) {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out += digits.substr(1);
    }
    out += 'e';
    out += exponent < 0 ? '-' : '+';
    std::string exp_digits = std::to_string(std::abs(exponent));
    if (exp_digits.size() < 2) exp_digits = "0" + exp_digits;
    out += exp_digits;
    return out;
  }
  if (exponent < 0) {
    out += "0.";
    out += std::string(static_cast<size_t>(-exponent - 1), '0');
    out += digits;
    return out;
  }
  size_t int_len = static_cast<size_t>(exponent) + 1;
  if (digits.size() <= int_len) {
    out += digits;
    out += std::string(int_len - digits.size(), '0');
    out += ".0";
  } else {
    out += digits.substr(0, int_len);
    out += '.';
    out += digits.substr(int_len);
  }
  return out;
}

void dump_to(std::string& out, const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
    case Json::value_t::discarded:
      out += "null";
      break;
    case Json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      break;
    case Json::value_t::number_integer:
      append_number(out, value.get<int64_t>());
      break;
    case Json::value_t::number_unsigned:
      append_number(out, value.get<uint64_t>());
      break;
    case Json::value_t::number_float:
      out += float_repr(value.get<double>());
      break;
    case Json::value_t::string:
      append_quoted(out, value.get_ref<const std::string&>());
      break;
    case Json::value_t::binary: {
      std::string hex;
      for (uint8_t byte : value.get_binary()) {
        hex += kHex[byte >> 4];
        hex += kHex[byte & 0xF];
      }
      append_quoted(out, hex);
      break;
    }
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const auto& item : value) {
        if (!first) out += ", ";
        first = false;
        dump_to(out, item);
      }
      out += ']';
      break;
    }
    case Json::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, item] : value.items()) {
        if (!first) out += ", ";
        first = false;
        append_quoted(out, key);
        out += ": ";
        dump_to(out, item);
      }
      out += '}';
      break;
    }
  }
}

std::string dumps(const Json& value) {
  std::string out;
  dump_to(out, value);
  return out;
}

std::string quote(std::string_view text) {
  std::string out;
  append_quoted(out, text);
  return out;
}

bool json_depth_within(std::string_view text, size_t max_depth) {
  size_t depth = 0;
  bool in_string = false;
  for (size_t idx = 0; idx < text.size(); ++idx) {
    const char c = text[idx];
    if (in_string) {
      if (c == '\\') {
        ++idx;  // the escaped character cannot end the string
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > max_depth) return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

Json loads(std::string_view text, size_t max_depth) {
  if (!json_depth_within(text, max_depth)) {
    throw ValueError("invalid JSON: nesting deeper than " + std::to_string(max_depth) + " levels");
  }
  try {
    return Json::parse(text);
  } catch (const Json::exception& error) {  // parse errors, and numbers out of range
    throw ValueError(std::string("invalid JSON: ") + error.what());
  }
}

std::optional<Json> try_loads(std::string_view text, size_t max_depth) {
  if (!json_depth_within(text, max_depth)) return std::nullopt;
  Json parsed = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) return std::nullopt;
  return parsed;
}

}  // namespace velko::base
