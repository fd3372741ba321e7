#include "velko/middleware/aws/credentials.h"

namespace velko::middleware::aws {

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
    case Json::value_t::array:
    case Json::value_t::object:
      return value.empty();
    default:
      return false;
  }
}

Json env_var_ids_of(const Json& configurable) {
  if (!configurable.is_object()) return Json::array();
  auto found = configurable.find("env_var_ids");
  return found == configurable.end() ? Json::array() : *found;
}

std::vector<std::string> returned_names(const Json& env_vars) {
  std::vector<std::string> names;
  if (env_vars.is_object()) {
    for (const auto& item : env_vars.items()) names.push_back(item.key());
  } else if (env_vars.is_array()) {
    for (const auto& item : env_vars) {
      if (item.is_string()) names.push_back(item.get<std::string>());
    }
  }
  return names;
}

bool flag_set(const Json& state, const char* key) {
  if (!state.is_object()) return false;
  auto found = state.find(key);
  return found != state.end() && !is_falsy(*found);
}

}  // namespace velko::middleware::aws
