// ClientFactories: the process-wide table of search-client factories by name. A client
// module fills it when it registers (the scout module adds TAVILY_PROXY_CLIENT, the
// chromadb module CHROMADB_CLIENT), so a module that needs such a client only on some
// paths looks it up here, after loading the providing plug-in, instead of linking the
// client's library.
//
//   ClientFactories::global().add_web_search(TAVILY_PROXY_CLIENT, factory);   // registration
//   if (auto make = ClientFactories::global().web_search(TAVILY_PROXY_CLIENT)) {
//     std::shared_ptr<const WebSearchClient> client = (*make)({app_url, token});
//   }
//
// Factories throw what their client's constructor throws. A factory's code may live in a
// plug-in: plug-ins are never unloaded, and global() is never destroyed, so an entry stays
// callable for the life of the process.
//
// Thread-safe: adding and looking up may happen from any thread. Factories are called
// outside the table's lock and must themselves be safe to call from several threads.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velko/base/named_table.h"
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

class ClientFactories {
 public:
  // The process's table.
  static ClientFactories& global();

  // Each add_ replaces an earlier factory of the same name.
  void add_web_search(const std::string& name, WebSearchClientFactory factory);
  void add_docs_search(const std::string& name, DocsSearchClientFactory factory);

  // nullopt when nothing of that name was added.
  std::optional<WebSearchClientFactory> web_search(const std::string& name) const;
  std::optional<DocsSearchClientFactory> docs_search(const std::string& name) const;

  std::vector<std::string> web_search_names() const;  // in the order first added
  std::vector<std::string> docs_search_names() const;

 private:
  base::NamedTable<WebSearchClientFactory> web_search_;
  base::NamedTable<DocsSearchClientFactory> docs_search_;
};

}  // namespace velko::platform::search_subagents
