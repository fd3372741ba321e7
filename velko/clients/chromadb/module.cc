#include "velko/clients/chromadb/module.h"

#include "velko/clients/chromadb/operations.h"

namespace velko::clients::chromadb {

void register_module(host::Registry& registry) {
  registry.add_operation("chromadb.list_collections", &list_collections_operation);
  registry.add_operation("chromadb.search_docs", &search_docs_operation);
}

}  // namespace velko::clients::chromadb
