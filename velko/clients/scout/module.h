// Registers this module's operations: "scout.web_search", "scout.extract_content",
// "scout.quick_answer" and "scout.get_search_context" (see operations.h), and the web
// search client factory platform::search_subagents::TAVILY_PROXY_CLIENT (a TavilyProxyClient
// for the options' base_url and access_token) of kind WEB_SEARCH_CLIENTS, all in `registry`.
#pragma once

#include "velko/host/registry.h"

namespace velko::clients::scout {
void register_module(host::Registry& registry);
}
