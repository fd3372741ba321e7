#include "velko/middleware/credential_gate/credential_gate.h"

#include <algorithm>
#include <exception>
#include <string_view>

#include "velko/base/env.h"
#include "velko/host/config.h"
#include "velko/platform/services/hosted_services.h"

namespace velko::middleware::credential_gate {
namespace {

bool named(std::span<const char* const> names, std::string_view name) {
  return std::any_of(names.begin(), names.end(), [name](const char* key) { return name == key; });
}

// configurable["env_var_ids"], or an empty array when absent.
Json env_var_ids_of(const Json& configurable) {
  if (!configurable.is_object()) return Json::array();
  auto found = configurable.find("env_var_ids");
  return found == configurable.end() ? Json::array() : *found;
}

}  // namespace

bool env_vars_available(std::span<const char* const> names) {
  for (const char* key : names) {
    if (base::getenv_opt(key)) return true;
  }
  Json env_var_ids = env_var_ids_of(host::get_configurable());
  if (base::is_falsy(env_var_ids)) return false;
  Json env_vars = platform::services::get_env_vars_by_ids(env_var_ids);
  if (env_vars.is_object()) {
    for (const auto& item : env_vars.items()) {
      if (named(names, item.key())) return true;
    }
  } else if (env_vars.is_array()) {
    for (const auto& item : env_vars) {
      if (item.is_string() && named(names, item.get_ref<const std::string&>())) return true;
    }
  }
  return false;
}

CredentialGatedMiddleware::CredentialGatedMiddleware(std::string state_key, std::function<bool()> check,
                                                     std::string separator, std::string section)
    : state_key_(std::move(state_key)),
      check_(std::move(check)),
      separator_(std::move(separator)),
      section_(std::move(section)) {}

host::StateUpdate CredentialGatedMiddleware::before_agent(const Json& state, const host::Runtime&) {
  if (state.is_object() && state.contains(state_key_)) return std::nullopt;
  Json update = Json::object();
  update[state_key_] = check_();
  return update;
}

std::future<host::StateUpdate> CredentialGatedMiddleware::abefore_agent(const Json& state,
                                                                        const host::Runtime& runtime) {
  std::promise<host::StateUpdate> promise;
  try {
    promise.set_value(before_agent(state, runtime));
  } catch (...) {
    promise.set_exception(std::current_exception());
  }
  return promise.get_future();
}

host::ModelRequest CredentialGatedMiddleware::with_section(const host::ModelRequest& request) const {
  const Json& state = request.state();
  if (!state.is_object()) return request;
  auto flag = state.find(state_key_);
  if (flag == state.end() || base::is_falsy(*flag)) return request;
  return request.override_system_prompt(request.system_prompt_text() + separator_ + section_);
}

}  // namespace velko::middleware::credential_gate
