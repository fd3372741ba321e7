#include "velko/platform/sandbox/module.h"

#include "velko/base/errors.h"
#include "velko/platform/sandbox/e2b_backend.h"

namespace velko::platform::sandbox {
namespace {

constexpr long long MAX_TIMEOUT_SECONDS = 86400;

std::optional<std::string> text_option(const Json& options, const char* name) {
  auto found = options.find(name);
  if (found == options.end()) return std::nullopt;
  if (!found->is_string()) {
    throw base::TypeError(std::string("Option '") + name + "' must be text, not " + found->type_name());
  }
  return found->get<std::string>();
}

}  // namespace

std::shared_ptr<host::BackendProtocol> make_e2b_backend(const Json& options) {
  if (options.is_null()) return make_e2b_backend(Json::object());
  if (!options.is_object()) {
    throw base::ValueError(std::string("Backend options must be a JSON object, not ") + options.type_name());
  }
  for (const auto& [key, value] : options.items()) {
    if (key != "timeout" && key != "id" && key != "cwd") {
      throw base::ValueError("Unknown option '" + key + "' for the e2b backend");
    }
  }
  int timeout = host::SANDBOX_TIMEOUT_SECONDS;
  if (auto found = options.find("timeout"); found != options.end()) {
    if (!found->is_number_integer()) {
      throw base::TypeError(std::string("Option 'timeout' must be an integer, not ") + found->type_name());
    }
    long long seconds = found->get<long long>();
    if (seconds < 1 || seconds > MAX_TIMEOUT_SECONDS) {
      throw base::ValueError("Option 'timeout' must be between 1 and 86400 seconds");
    }
    timeout = static_cast<int>(seconds);
  }
  auto backend = std::make_shared<E2BBackend>(timeout);
  if (auto id = text_option(options, "id")) backend->set_id(*id);
  if (auto cwd = text_option(options, "cwd")) backend->set_cwd(*cwd);
  return backend;
}

void register_module(host::Registry& registry) { registry.add_backend("e2b", &make_e2b_backend); }

}  // namespace velko::platform::sandbox
