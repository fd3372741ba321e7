// Registers this module's operations: "chromadb.list_collections" and
// "chromadb.search_docs" (see operations.h), and the documentation client factory
// platform::search_subagents::CHROMADB_CLIENT (a ChromaDBClient from the environment; the options
// are not used) of kind DOCS_SEARCH_CLIENTS, all in `registry`.
#pragma once

#include "velko/host/registry.h"

namespace velko::clients::chromadb {
void register_module(host::Registry& registry);
}
