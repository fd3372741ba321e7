// Registers this module's operations: "scout.web_search", "scout.extract_content",
// "scout.quick_answer" and "scout.get_search_context" (see operations.h), and adds the
// web search client platform::search_subagents::TAVILY_PROXY_CLIENT (a TavilyProxyClient for the
// options' base_url and access_token) to platform::search_subagents::ClientFactories::global().
#pragma once

#include "velko/host/registry.h"

namespace velko::clients::scout {
void register_module(host::Registry& registry);
}
