#include "velko/platform/agents/client_factories.h"

namespace velko::platform::agents {
namespace {

template <typename Factory>
void put(std::vector<std::pair<std::string, Factory>>& entries, const std::string& name, Factory factory) {
  for (auto& entry : entries) {
    if (entry.first == name) {
      entry.second = std::move(factory);
      return;
    }
  }
  entries.emplace_back(name, std::move(factory));
}

template <typename Factory>
std::optional<Factory> find(const std::vector<std::pair<std::string, Factory>>& entries, const std::string& name) {
  for (const auto& entry : entries) {
    if (entry.first == name) return entry.second;
  }
  return std::nullopt;
}

template <typename Factory>
std::vector<std::string> names(const std::vector<std::pair<std::string, Factory>>& entries) {
  std::vector<std::string> result;
  for (const auto& entry : entries) result.push_back(entry.first);
  return result;
}

}  // namespace

ClientFactories& ClientFactories::global() {
  // Process-wide. Never destroyed: entries may point into plug-ins, which outlive static
  // destructors. Thread-safe through the table's own lock.
  static ClientFactories* table = new ClientFactories();
  return *table;
}

void ClientFactories::add_web_search(const std::string& name, WebSearchClientFactory factory) {
  std::lock_guard lock(mu_);
  put(web_search_, name, std::move(factory));
}

void ClientFactories::add_docs_search(const std::string& name, DocsSearchClientFactory factory) {
  std::lock_guard lock(mu_);
  put(docs_search_, name, std::move(factory));
}

std::optional<WebSearchClientFactory> ClientFactories::web_search(const std::string& name) const {
  std::lock_guard lock(mu_);
  return find(web_search_, name);
}

std::optional<DocsSearchClientFactory> ClientFactories::docs_search(const std::string& name) const {
  std::lock_guard lock(mu_);
  return find(docs_search_, name);
}

std::vector<std::string> ClientFactories::web_search_names() const {
  std::lock_guard lock(mu_);
  return names(web_search_);
}

std::vector<std::string> ClientFactories::docs_search_names() const {
  std::lock_guard lock(mu_);
  return names(docs_search_);
}

}  // namespace velko::platform::agents
