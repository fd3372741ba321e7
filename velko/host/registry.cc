#include "velko/host/registry.h"

namespace velko::host {
namespace {

template <typename T>
void upsert(std::vector<std::pair<std::string, T>>& entries, const std::string& name, T value) {
  for (auto& [existing, stored] : entries) {
    if (existing == name) {
      stored = std::move(value);
      return;
    }
  }
  entries.emplace_back(name, std::move(value));
}

template <typename T>
std::optional<T> lookup(const std::vector<std::pair<std::string, T>>& entries, const std::string& name) {
  for (const auto& [existing, stored] : entries) {
    if (existing == name) return stored;
  }
  return std::nullopt;
}

template <typename T>
std::vector<std::string> names_of(const std::vector<std::pair<std::string, T>>& entries) {
  std::vector<std::string> names;
  for (const auto& entry : entries) names.push_back(entry.first);
  return names;
}

}  // namespace

void Registry::add_middleware(const std::string& name, MiddlewareFactory factory) {
  std::lock_guard lock(mu_);
  upsert(middlewares_, name, std::move(factory));
}
void Registry::add_backend(const std::string& name, BackendFactory factory) {
  std::lock_guard lock(mu_);
  upsert(backends_, name, std::move(factory));
}
void Registry::add_operation(const std::string& name, Operation operation) {
  std::lock_guard lock(mu_);
  upsert(operations_, name, std::move(operation));
}
std::optional<MiddlewareFactory> Registry::middleware(const std::string& name) const {
  std::lock_guard lock(mu_);
  return lookup(middlewares_, name);
}
std::optional<BackendFactory> Registry::backend(const std::string& name) const {
  std::lock_guard lock(mu_);
  return lookup(backends_, name);
}
std::optional<Operation> Registry::operation(const std::string& name) const {
  std::lock_guard lock(mu_);
  return lookup(operations_, name);
}
std::vector<std::string> Registry::middleware_names() const {
  std::lock_guard lock(mu_);
  return names_of(middlewares_);
}
std::vector<std::string> Registry::backend_names() const {
  std::lock_guard lock(mu_);
  return names_of(backends_);
}
std::vector<std::string> Registry::operation_names() const {
  std::lock_guard lock(mu_);
  return names_of(operations_);
}

}  // namespace velko::host
