#include "velko/clients/chromadb/module.h"

#include "velko/clients/chromadb/chromadb_client.h"
#include "velko/clients/chromadb/operations.h"
#include "velko/platform/search_subagents/client_factories.h"

namespace velko::clients::chromadb {

void register_module(host::Registry& registry) {
  registry.add_operation("chromadb.list_collections", &list_collections_operation);
  registry.add_operation("chromadb.search_docs", &search_docs_operation);
  registry.add_component(
      platform::search_subagents::DOCS_SEARCH_CLIENTS, platform::search_subagents::CHROMADB_CLIENT,
      [](const platform::search_subagents::ClientOptions&)
          -> std::shared_ptr<const platform::search_subagents::DocsSearchClient> {
        return std::make_shared<const platform::search_subagents::DocsSearchClientAdapter<ChromaDBClient>>(
            std::make_shared<const ChromaDBClient>());
      });
}

}  // namespace velko::clients::chromadb
