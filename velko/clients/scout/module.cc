#include "velko/clients/scout/module.h"

#include "velko/clients/scout/operations.h"
#include "velko/clients/scout/tavily_proxy_client.h"
#include "velko/platform/search_subagents/client_factories.h"

namespace velko::clients::scout {

void register_module(host::Registry& registry) {
  registry.add_operation("scout.web_search", &web_search_operation);
  registry.add_operation("scout.extract_content", &extract_content_operation);
  registry.add_operation("scout.quick_answer", &quick_answer_operation);
  registry.add_operation("scout.get_search_context", &get_search_context_operation);
  registry.add_component(
      platform::search_subagents::WEB_SEARCH_CLIENTS, platform::search_subagents::TAVILY_PROXY_CLIENT,
      [](const platform::search_subagents::ClientOptions& options)
          -> std::shared_ptr<const platform::search_subagents::WebSearchClient> {
        return std::make_shared<const platform::search_subagents::WebSearchClientAdapter<TavilyProxyClient>>(
            std::make_shared<const TavilyProxyClient>(options.base_url, options.access_token));
      });
}

}  // namespace velko::clients::scout
