// The search clients' factories as modules offer them through host::Registry. A client
// module registers its factory under a name of one of the two kinds below (the scout
// module adds TAVILY_PROXY_CLIENT, the chromadb module CHROMADB_CLIENT), so a module that
// needs such a client only on some paths loads the providing plug-in and looks the factory
// up in the registry that plug-in filled, instead of linking the client's library:
//
//   registry.add_component(WEB_SEARCH_CLIENTS, TAVILY_PROXY_CLIENT, factory);   // registration
//   if (auto make = registry.component(WEB_SEARCH_CLIENTS, TAVILY_PROXY_CLIENT)) {
//     std::shared_ptr<const WebSearchClient> client = (*make)({app_url, token});
//   }
//
// Factories throw what their client's constructor throws, and must be safe to call from
// several threads at once.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "velko/host/registry.h"
#include "velko/platform/search_subagents/search_clients.h"

namespace velko::platform::search_subagents {

// The web search proxy client of cli mode (TavilyProxyClient, scout plug-in).
inline constexpr const char* TAVILY_PROXY_CLIENT = "tavily_proxy";
// The direct documentation client of web mode (ChromaDBClient, chromadb plug-in).
inline constexpr const char* CHROMADB_CLIENT = "chromadb";

// What a factory may use; a factory ignores what its client does not take (the direct
// clients read their settings from the environment).
struct ClientOptions {
  std::string base_url;
  std::string access_token;
};

using WebSearchClientFactory = std::function<std::shared_ptr<const WebSearchClient>(const ClientOptions&)>;
using DocsSearchClientFactory = std::function<std::shared_ptr<const DocsSearchClient>(const ClientOptions&)>;

// The two kinds of client factory; each has names of its own.
inline constexpr host::ComponentKind<WebSearchClientFactory> WEB_SEARCH_CLIENTS{"web search client"};
inline constexpr host::ComponentKind<DocsSearchClientFactory> DOCS_SEARCH_CLIENTS{"documentation client"};

}  // namespace velko::platform::search_subagents
