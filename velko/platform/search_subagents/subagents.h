// The default sub-agents the main agent can delegate to, and their definition type.
//
// A SubAgent is a mapping (definition) with "name", "description", "system_prompt" and "tools"
// (the names of the tools it may use), to which the assembly may add "model"; beside it,
// the tool objects the sub-agent brings along, bound to its client. The exploration
// sub-agent brings no tools of its own: it uses the main agent's warehouse tools named in
// its definition.
//
//   SubAgent research = *get_research_subagent(client);
//   research.definition["name"]                       // "research-agent"
//   research.tools[0].invoke({{"query", "dbt"}}, {})   // calls client->web_search
//
// The research and documentation tools catch every error of their client and answer with
// text that begins "Error: ".
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velko/base/json.h"
#include "velko/host/tool.h"
#include "velko/platform/search_subagents/search_clients.h"

namespace velko::platform::search_subagents {

struct SubAgent {
  Json definition = Json::object();
  std::vector<host::Tool> tools;

  std::string name() const { return definition.value("name", std::string()); }
};

inline constexpr const char* EXPLORE_SUBAGENT_NAME = "explore-agent";
inline constexpr const char* RESEARCH_SUBAGENT_NAME = "research-agent";
inline constexpr const char* DOCS_SUBAGENT_NAME = "docs-agent";

// The exploration sub-agent: surveys the connected warehouse with the schema and query
// tools and reports what it found.
SubAgent get_explore_subagent();

// The research sub-agent with the tools web_search, extract_content, quick_answer and
// get_search_context over `tavily_client`; nullopt when there is no client.
std::optional<SubAgent> get_research_subagent(std::shared_ptr<const WebSearchClient> tavily_client);

// The documentation sub-agent with the tools list_collections and search_docs over
// `chromadb_client`; nullopt when there is no client.
std::optional<SubAgent> get_docs_subagent(std::shared_ptr<const DocsSearchClient> chromadb_client);

}  // namespace velko::platform::search_subagents
