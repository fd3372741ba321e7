// The documentation operations with JSON arguments, as the registry and the velko command
// call them. Each builds a ChromaDBClient from the environment (ValueError "ChromaDB
// credentials not fully configured" when it is incomplete).
//
// Argument checks: query and collection must be JSON strings, n_results any JSON number
// (cut to an integer); anything else is a TypeError naming the parameter.
#pragma once

#include "velko/base/json.h"

namespace velko::clients::chromadb {

// {} -> the list of collection names.
Json list_collections_operation(const Json& args);
// {"query", "collection" ("airflow_docs"), "n_results" (5)} -> the search result mapping.
Json search_docs_operation(const Json& args);

}  // namespace velko::clients::chromadb
