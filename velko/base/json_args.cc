#include "velko/base/json_args.h"

#include <cmath>
#include <limits>
#include <utility>

#include "velko/base/errors.h"

namespace velko::base {

std::string json_type_name(const Json& value) { return value.type_name(); }

std::string python_type_name(const Json& value) {
  switch (value.type()) {
    case Json::value_t::string:
      return "str";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      return "int";
    case Json::value_t::number_float:
      return "float";
    case Json::value_t::boolean:
      return "bool";
    case Json::value_t::null:
      return "NoneType";
    case Json::value_t::array:
      return "list";
    case Json::value_t::object:
      return "dict";
    default:
      return "bytes";
  }
}

std::optional<std::string> text_or_integer_value(const Json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_number_unsigned()) return std::to_string(value.get<unsigned long long>());
  if (value.is_number_integer()) return std::to_string(value.get<long long>());
  return std::nullopt;
}

std::string expand_arg_message(std::string_view pattern, std::string_view name, std::string_view expected,
                               std::string_view type, std::string_view min, std::string_view max) {
  const std::pair<std::string_view, std::string_view> fields[] = {
      {"{name}", name}, {"{expected}", expected}, {"{type}", type}, {"{min}", min}, {"{max}", max}};
  std::string out;
  out.reserve(pattern.size() + name.size() + expected.size());
  size_t pos = 0;
  while (pos < pattern.size()) {
    bool replaced = false;
    if (pattern[pos] == '{') {
      for (const auto& [placeholder, value] : fields) {
        if (pattern.substr(pos, placeholder.size()) == placeholder) {
          out += value;
          pos += placeholder.size();
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) out += pattern[pos++];
  }
  return out;
}

namespace {

[[noreturn]] void throw_as(ArgErrorKind kind, const std::string& text) {
  switch (kind) {
    case ArgErrorKind::kValueError:
      throw ValueError(text);
    case ArgErrorKind::kKeyError:
      throw KeyError(text);
    case ArgErrorKind::kTypeError:
      break;
  }
  throw TypeError(text);
}

const Json& empty_object() {
  static const Json empty = Json::object();
  return empty;
}

}  // namespace

JsonArgs::JsonArgs(const Json& args, JsonArgsStyle style) : args_(&args), style_(std::move(style)) {
  if (args.is_null() && style_.null_is_empty) args_ = &empty_object();
  if (!args_->is_object()) fail(style_.not_object, "", "", args_);
}

void JsonArgs::refuse_unknown(std::initializer_list<std::string_view> known) const {
  for (const auto& [key, value] : args_->items()) {
    bool is_known = false;
    for (std::string_view name : known) is_known = is_known || key == name;
    if (!is_known) fail(style_.unknown, key, "", &value);
  }
}

void JsonArgs::fail(const ArgMessage& message, std::string_view name, std::string_view expected, const Json* value,
                    std::string_view min, std::string_view max) const {
  static const Json null_value;
  std::string type = style_.type_name(value != nullptr ? *value : null_value);
  throw_as(message.kind, expand_arg_message(message.pattern, name, expected, type, min, max));
}

void JsonArgs::wrong_type(std::string_view name, std::string_view expected) const {
  auto found = args_->find(std::string(name));
  fail(style_.wrong_type, name, expected, found == args_->end() ? nullptr : &*found);
}

const Json* JsonArgs::given(std::string_view name) const {
  auto found = args_->find(std::string(name));
  if (found == args_->end() || (style_.null_is_absent && found->is_null())) return nullptr;
  return &*found;
}

bool JsonArgs::has(std::string_view name) const { return given(name) != nullptr; }

std::string JsonArgs::text(std::string_view name) const {
  const Json* value = given(name);
  if (value == nullptr) fail(style_.missing, name, style_.words.text, nullptr);
  if (!value->is_string()) fail(style_.wrong_type, name, style_.words.text, value);
  return value->get<std::string>();
}

std::string JsonArgs::text(std::string_view name, std::string_view fallback) const {
  return has(name) ? text(name) : std::string(fallback);
}

std::optional<std::string> JsonArgs::nullable_text(std::string_view name) const {
  const Json* value = given(name);
  if (value == nullptr || value->is_null()) return std::nullopt;
  if (!value->is_string()) fail(style_.wrong_type, name, style_.words.nullable_text, value);
  return value->get<std::string>();
}

std::string JsonArgs::text_or_integer(std::string_view name) const {
  const Json* value = given(name);
  if (value == nullptr) fail(style_.missing, name, style_.words.text_or_integer, nullptr);
  std::optional<std::string> text = text_or_integer_value(*value);
  if (!text) fail(style_.wrong_type, name, style_.words.text_or_integer, value);
  return std::move(*text);
}

std::string JsonArgs::text_or_integer(std::string_view name, std::string_view fallback) const {
  return has(name) ? text_or_integer(name) : std::string(fallback);
}

double JsonArgs::number(std::string_view name, double fallback) const {
  const Json* value = given(name);
  if (value == nullptr) return fallback;
  if (!value->is_number()) fail(style_.wrong_type, name, style_.words.number, value);
  return value->get<double>();
}

long long JsonArgs::integer(std::string_view name, long long fallback, long long min, long long max) const {
  const Json* value = given(name);
  if (value == nullptr) return fallback;
  if (!value->is_number_integer()) fail(style_.wrong_type, name, style_.words.integer, value);
  bool in_range;
  if (value->is_number_unsigned()) {  // what the parser makes of any non-negative integer text
    unsigned long long whole = value->get<unsigned long long>();
    in_range = max >= 0 && whole <= static_cast<unsigned long long>(max) &&
               (min <= 0 || whole >= static_cast<unsigned long long>(min));
  } else {
    in_range = value->get<long long>() >= min && value->get<long long>() <= max;
  }
  if (!in_range) {
    fail(style_.out_of_range, name, style_.words.integer, value, std::to_string(min), std::to_string(max));
  }
  return value->is_number_unsigned() ? static_cast<long long>(value->get<unsigned long long>())
                                     : value->get<long long>();
}

long long JsonArgs::whole_number(std::string_view name, long long fallback) const {
  constexpr long long lowest = std::numeric_limits<long long>::min();
  constexpr long long highest = std::numeric_limits<long long>::max();
  const Json* value = given(name);
  if (value == nullptr) return fallback;
  if (!value->is_number()) fail(style_.wrong_type, name, style_.words.number, value);
  auto out_of_range = [&] {
    fail(style_.out_of_range, name, style_.words.number, value, std::to_string(lowest), std::to_string(highest));
  };
  if (value->is_number_unsigned()) {
    unsigned long long whole = value->get<unsigned long long>();
    if (whole > static_cast<unsigned long long>(highest)) out_of_range();
    return static_cast<long long>(whole);
  }
  if (value->is_number_integer()) return value->get<long long>();
  double whole = std::trunc(value->get<double>());
  // 2^63 is the first value beyond long long; every double below it converts exactly.
  if (!std::isfinite(whole) || whole >= 9223372036854775808.0 || whole < -9223372036854775808.0) out_of_range();
  return static_cast<long long>(whole);
}

bool JsonArgs::truth(std::string_view name, bool fallback) const {
  auto found = args_->find(std::string(name));
  if (found == args_->end()) return fallback;
  return !is_falsy(*found);
}

std::vector<std::string> JsonArgs::text_list(std::string_view name) const {
  const Json* value = given(name);
  if (value == nullptr) fail(style_.missing, name, style_.words.text_list, nullptr);
  if (!value->is_array()) fail(style_.wrong_type, name, style_.words.text_list, value);
  std::vector<std::string> items;
  items.reserve(value->size());
  for (const Json& item : *value) {
    if (!item.is_string()) fail(style_.wrong_item, name, style_.words.text_list, &item);
    items.push_back(item.get<std::string>());
  }
  return items;
}

}  // namespace velko::base
