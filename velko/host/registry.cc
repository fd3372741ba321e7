#include "velko/host/registry.h"

namespace velko::host {

base::JsonArgsStyle backend_options_style(std::string_view backend) {
  base::JsonArgsStyle style;
  style.null_is_empty = true;
  style.null_is_absent = false;
  style.not_object = {base::ArgErrorKind::kValueError, "Backend options must be a JSON object, not {type}"};
  style.unknown = {base::ArgErrorKind::kValueError,
                   "Unknown option '{name}' for the " + std::string(backend) + " backend"};
  style.wrong_type = {base::ArgErrorKind::kTypeError, "Option '{name}' must be {expected}, not {type}"};
  style.out_of_range = {base::ArgErrorKind::kValueError, "Option '{name}' must be between {min} and {max} seconds"};
  style.words.nullable_text = "text";
  return style;
}

void Registry::add_middleware(const std::string& name, MiddlewareFactory factory) {
  middlewares_.put(name, std::move(factory));
}
void Registry::add_backend(const std::string& name, BackendFactory factory) { backends_.put(name, std::move(factory)); }
void Registry::add_operation(const std::string& name, Operation operation) {
  operations_.put(name, std::move(operation));
}
std::optional<MiddlewareFactory> Registry::middleware(const std::string& name) const { return middlewares_.get(name); }
std::optional<BackendFactory> Registry::backend(const std::string& name) const { return backends_.get(name); }
std::optional<Operation> Registry::operation(const std::string& name) const { return operations_.get(name); }
std::vector<std::string> Registry::middleware_names() const { return middlewares_.names(); }
std::vector<std::string> Registry::backend_names() const { return backends_.names(); }
std::vector<std::string> Registry::operation_names() const { return operations_.names(); }

base::NamedTable<std::any>& Registry::components_of(std::string_view kind) {
  std::lock_guard lock(components_mu_);
  auto found = components_.find(kind);
  if (found == components_.end()) {
    found = components_.emplace(std::string(kind), std::make_unique<base::NamedTable<std::any>>()).first;
  }
  return *found->second;
}

const base::NamedTable<std::any>* Registry::find_components_of(std::string_view kind) const {
  std::lock_guard lock(components_mu_);
  auto found = components_.find(kind);
  return found == components_.end() ? nullptr : found->second.get();
}

}  // namespace velko::host
