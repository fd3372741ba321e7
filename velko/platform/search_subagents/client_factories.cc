#include "velko/platform/search_subagents/client_factories.h"

namespace velko::platform::search_subagents {
ClientFactories& ClientFactories::global() {
  // Process-wide. Never destroyed: entries may point into plug-ins, which outlive static
  // destructors. Thread-safe through its tables' own locks.
  static ClientFactories* table = new ClientFactories();
  return *table;
}

void ClientFactories::add_web_search(const std::string& name, WebSearchClientFactory factory) {
  web_search_.put(name, std::move(factory));
}

void ClientFactories::add_docs_search(const std::string& name, DocsSearchClientFactory factory) {
  docs_search_.put(name, std::move(factory));
}

std::optional<WebSearchClientFactory> ClientFactories::web_search(const std::string& name) const {
  return web_search_.get(name);
}

std::optional<DocsSearchClientFactory> ClientFactories::docs_search(const std::string& name) const {
  return docs_search_.get(name);
}

std::vector<std::string> ClientFactories::web_search_names() const { return web_search_.names(); }

std::vector<std::string> ClientFactories::docs_search_names() const { return docs_search_.names(); }

}  // namespace velko::platform::search_subagents
