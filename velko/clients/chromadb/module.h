// Registers this module's operations: "chromadb.list_collections" and
// "chromadb.search_docs" (see operations.h).
#pragma once

#include "velko/host/registry.h"

namespace velko::clients::chromadb {
void register_module(host::Registry& registry);
}
