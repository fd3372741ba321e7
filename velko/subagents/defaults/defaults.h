// The default sub-agent assembly: which sub-agents the main agent gets where it runs.
//
//   auto subagents = get_default_subagents("cli", access_token, "anthropic");
//   // exploration, research (web search), documentation; each with "model" set to the
//   // provider's small model
//
// Always the exploration sub-agent; then, when clients can be had, the research and the
// documentation sub-agents, in that order:
//   - "web": the direct clients (TavilyClient, ChromaDBClient) from the service's
//     environment. A ValueError or KeyError while creating them or building the two
//     sub-agents logs "Direct clients unavailable for web mode: <error>" and leaves the
//     exploration sub-agent alone; other errors propagate.
//   - "cli" with a non-empty access token: the proxy clients (TavilyProxyClient,
//     ChromaDBProxyClient), both with settings().app_url and the token. Nothing is caught.
//   - anything else ("kubernetes", "cli" without a token): logs "Access token not
//     available. Research and docs subagents disabled. Run '/login' to enable web search and
//     documentation lookup." and returns the exploration sub-agent alone.
// A non-empty model_provider whose small model exists sets "model" on every sub-agent.
//
// The clients of other modules are not linked: default_components() loads their plug-in
// when the branch first needs one (through host::process_plugin_loader(); the client's
// factory then comes from that loader's registry), so only web mode loads the chromadb plug-in
// (ChromaDBClient) and only cli mode with a token the scout plug-in (TavilyProxyClient);
// other calls load neither. A plug-in that cannot be found or loaded is an installation
// fault, not a missing setting: its ModuleNotFoundError / ImportError ("Plug-in 'chromadb'
// not found (searched: ...)") propagates in every mode, web included, and is never logged
// as "Direct clients unavailable".
//
// The outside components are reached through a Components value, and only inside the
// branch that needs them: a web call never creates a proxy client or reads the local
// settings; a cli call never creates a direct client. Warnings go to the logger
// "velko.subagents.defaults". Thread-safe when the components are.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velko/base/json.h"
#include "velko/platform/search_subagents/search_clients.h"
#include "velko/platform/search_subagents/subagents.h"

namespace velko::subagents::defaults {

using platform::search_subagents::DocsSearchClient;
using platform::search_subagents::SubAgent;
using platform::search_subagents::WebSearchClient;

inline constexpr const char* LOGGER_NAME = "velko.subagents.defaults";
inline constexpr const char* DIRECT_CLIENTS_UNAVAILABLE = "Direct clients unavailable for web mode: ";
inline constexpr const char* ACCESS_TOKEN_UNAVAILABLE =
    "Access token not available. Research and docs subagents disabled. Run '/login' to enable web search and "
    "documentation lookup.";

// The outside components the assembly calls. default_components() wires the real ones.
struct Components {
  std::function<SubAgent()> get_explore_subagent;
  std::function<std::optional<SubAgent>(std::shared_ptr<const WebSearchClient>)> get_research_subagent;
  std::function<std::optional<SubAgent>(std::shared_ptr<const DocsSearchClient>)> get_docs_subagent;
  // web mode
  std::function<std::shared_ptr<const WebSearchClient>()> make_tavily_client;
  std::function<std::shared_ptr<const DocsSearchClient>()> make_chromadb_client;
  // cli mode: (base_url, access_token)
  std::function<std::shared_ptr<const WebSearchClient>(const std::string&, const std::string&)>
      make_tavily_proxy_client;
  std::function<std::shared_ptr<const DocsSearchClient>(const std::string&, const std::string&)>
      make_chromadb_proxy_client;
  std::function<std::string()> app_url;
  // A model descriptor, or a false value (null, false, empty) when the provider has none.
  std::function<Json(const std::string&)> get_small_model;
};

// The plug-ins that provide the clients of other modules.
inline constexpr const char* SCOUT_PLUGIN = "scout";        // TavilyProxyClient (cli mode)
inline constexpr const char* CHROMADB_PLUGIN = "chromadb";  // ChromaDBClient (web mode)

// The platform's builders, TavilyClient, ChromaDBClient, TavilyProxyClient,
// ChromaDBProxyClient, platform::config::settings().app_url and get_small_model.
// make_chromadb_client and make_tavily_proxy_client load their plug-in on first use (see
// above); creating the Components loads nothing.
Components default_components();

std::vector<SubAgent> get_default_subagents(std::string_view mode,
                                            const std::optional<std::string>& access_token = std::nullopt,
                                            const std::optional<std::string>& model_provider = std::nullopt);

std::vector<SubAgent> get_default_subagents(const Components& components, std::string_view mode,
                                            const std::optional<std::string>& access_token = std::nullopt,
                                            const std::optional<std::string>& model_provider = std::nullopt);

// The definitions of `subagents` as a JSON list (what the velko command prints).
Json subagent_definitions(const std::vector<SubAgent>& subagents);

// The operation "subagents.defaults": {"mode": text, "access_token": text or null,
// "model_provider": text or null} -> the list of definitions. TypeError naming the parameter for
// any other type; mode is required.
Json get_default_subagents_operation(const Json& args);

}  // namespace velko::subagents::defaults
