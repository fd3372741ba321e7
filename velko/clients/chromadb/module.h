// Registers this module's operations: "chromadb.list_collections" and
// "chromadb.search_docs" (see operations.h), and adds the documentation client
// platform::search_subagents::CHROMADB_CLIENT (a ChromaDBClient from the environment; the options
// are not used) to platform::search_subagents::ClientFactories::global().
#pragma once

#include "velko/host/registry.h"

namespace velko::clients::chromadb {
void register_module(host::Registry& registry);
}
