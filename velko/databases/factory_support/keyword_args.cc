#include "velko/databases/factory_support/keyword_args.h"

#include "velko/base/errors.h"

namespace velko::databases::factory_support {

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

KeywordArgs::KeywordArgs(std::string function, const Json& args, std::initializer_list<std::string_view> known)
    : function_(std::move(function)), args_(args.is_null() ? Json::object() : args) {
  if (!args_.is_object()) {
    throw base::TypeError(function_ + "() argument after ** must be a mapping, not " + python_type_name(args_));
  }
  for (const auto& [key, value] : args_.items()) {
    bool is_known = false;
    for (std::string_view name : known) is_known = is_known || key == name;
    if (!is_known) throw base::TypeError(function_ + "() got an unexpected keyword argument '" + key + "'");
  }
}

void KeywordArgs::require(std::initializer_list<std::string_view> names) const {
  std::vector<std::string> missing;
  for (std::string_view name : names) {
    if (!has(name)) missing.push_back("'" + std::string(name) + "'");
  }
  if (missing.empty()) return;
  std::string listed;
  for (size_t idx = 0; idx < missing.size(); ++idx) {
    if (idx > 0) listed += idx + 1 == missing.size() ? (missing.size() > 2 ? ", and " : " and ") : ", ";
    listed += missing[idx];
  }
  throw base::TypeError(function_ + "() missing " + std::to_string(missing.size()) + " required keyword-only argument" +
                        (missing.size() == 1 ? "" : "s") + ": " + listed);
}

const Json* KeywordArgs::find(std::string_view name) const {
  auto found = args_.find(std::string(name));
  return found == args_.end() ? nullptr : &*found;
}

bool KeywordArgs::has(std::string_view name) const { return find(name) != nullptr; }

void KeywordArgs::type_error(std::string_view name, std::string_view expected) const {
  const Json* value = find(name);
  throw base::TypeError(function_ + "() argument '" + std::string(name) + "' must be " + std::string(expected) +
                        ", not " + (value ? python_type_name(*value) : std::string("NoneType")));
}

std::string KeywordArgs::text(std::string_view name) const {
  const Json* value = find(name);
  if (value == nullptr || !value->is_string()) type_error(name, "str");
  return value->get<std::string>();
}

std::string KeywordArgs::text_or(std::string_view name, std::string_view fallback) const {
  return has(name) ? text(name) : std::string(fallback);
}

std::optional<std::string> KeywordArgs::optional_text(std::string_view name) const {
  const Json* value = find(name);
  if (value == nullptr || value->is_null()) return std::nullopt;
  if (!value->is_string()) type_error(name, "str or None");
  return value->get<std::string>();
}

std::string KeywordArgs::text_or_integer(std::string_view name, std::string_view fallback) const {
  const Json* value = find(name);
  if (value == nullptr) return std::string(fallback);
  if (value->is_string()) return value->get<std::string>();
  if (value->is_number_integer()) {
    return value->is_number_unsigned() ? std::to_string(value->get<unsigned long long>())
                                       : std::to_string(value->get<long long>());
  }
  type_error(name, "str or int");
}

bool KeywordArgs::truth(std::string_view name, bool fallback) const {
  const Json* value = find(name);
  if (value == nullptr) return fallback;
  switch (value->type()) {
    case Json::value_t::null:
      return false;
    case Json::value_t::boolean:
      return value->get<bool>();
    case Json::value_t::number_integer:
      return value->get<long long>() != 0;
    case Json::value_t::number_unsigned:
      return value->get<unsigned long long>() != 0;
    case Json::value_t::number_float:
      return value->get<double>() != 0.0;
    case Json::value_t::string:
      return !value->get_ref<const std::string&>().empty();
    case Json::value_t::array:
    case Json::value_t::object:
      return !value->empty();
    default:
      return true;
  }
}

}  // namespace velko::databases::factory_support
