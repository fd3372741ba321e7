#include "velko/backends/kubernetes/module.h"

#include <limits>

#include "velko/backends/kubernetes/kubernetes_backend.h"
#include "velko/base/errors.h"

namespace velko::backends::kubernetes {
namespace {

std::optional<std::string> text_option(const Json& options, const char* name, bool nullable) {
  auto found = options.find(name);
  if (found == options.end() || (nullable && found->is_null())) return std::nullopt;
  if (!found->is_string()) {
    throw base::TypeError(std::string("Option '") + name + "' must be text, not " + found->type_name());
  }
  return found->get<std::string>();
}

}  // namespace

std::shared_ptr<host::BackendProtocol> make_backend(const Json& options) {
  if (options.is_null()) return make_backend(Json::object());
  if (!options.is_object()) {
    throw base::ValueError(std::string("Backend options must be a JSON object, not ") + options.type_name());
  }
  for (const auto& [key, value] : options.items()) {
    if (key != "namespace" && key != "timeout" && key != "id" && key != "cwd") {
      throw base::ValueError("Unknown option '" + key + "' for the kubernetes backend");
    }
  }
  int timeout = DEFAULT_TIMEOUT_SECONDS;
  if (auto found = options.find("timeout"); found != options.end()) {
    if (!found->is_number_integer()) {
      throw base::TypeError(std::string("Option 'timeout' must be an integer, not ") + found->type_name());
    }
    long long seconds = found->get<long long>();
    if (seconds < 0 || seconds > std::numeric_limits<int>::max() / 1000) {
      throw base::ValueError("Option 'timeout' must be between 0 and " +
                             std::to_string(std::numeric_limits<int>::max() / 1000) + " seconds");
    }
    timeout = static_cast<int>(seconds);
  }
  auto backend = std::make_shared<KubernetesBackend>(text_option(options, "namespace", true), timeout);
  if (auto pod = text_option(options, "id", false)) backend->set_id(*pod);
  if (auto cwd = text_option(options, "cwd", false)) backend->set_cwd(*cwd);
  return backend;
}

void register_module(host::Registry& registry) { registry.add_backend("kubernetes", &make_backend); }

}  // namespace velko::backends::kubernetes
