#include "velko/subagents/defaults/defaults.h"

#include "velko/base/errors.h"
#include "velko/base/json_args.h"
#include "velko/base/logging.h"
#include "velko/host/plugin.h"
#include "velko/platform/config/local_config.h"
#include "velko/platform/search_subagents/chromadb_proxy_client.h"
#include "velko/platform/search_subagents/client_factories.h"
#include "velko/platform/search_subagents/models.h"
#include "velko/platform/search_subagents/tavily_client.h"

namespace velko::subagents::defaults {
namespace {

namespace search = platform::search_subagents;

const base::Logger& logger() { return base::get_logger(LOGGER_NAME); }

void append_if_present(std::vector<SubAgent>& subagents, std::optional<SubAgent> subagent) {
  if (subagent) subagents.push_back(std::move(*subagent));
}

// The factory `client` of `kind` in the registry of the process's plug-in loader, loading
// plug-in `plugin` there first when the registry has none yet. ModuleNotFoundError /
// ImportError from the loader pass through; ImportError when the plug-in loads but does not
// provide the client; TypeError when it provides it with another type.
template <typename Factory>
Factory plugin_client_factory(const host::ComponentKind<Factory>& kind, const std::string& plugin,
                              const std::string& client) {
  host::PluginLoader& loader = host::process_plugin_loader();
  std::optional<Factory> factory = loader.registry().component(kind, client);
  if (!factory) {
    loader.load(plugin);
    factory = loader.registry().component(kind, client);
  }
  if (!factory) {
    throw base::ImportError("Plug-in '" + plugin + "' did not provide the client '" + client + "'");
  }
  return *factory;
}

}  // namespace

Components default_components() {
  Components components;
  components.get_explore_subagent = &search::get_explore_subagent;
  components.get_research_subagent = &search::get_research_subagent;
  components.get_docs_subagent = &search::get_docs_subagent;
  components.make_tavily_client = [] { return std::make_shared<const search::TavilyClient>(); };
  components.make_chromadb_client = [] {
    auto factory = plugin_client_factory(search::DOCS_SEARCH_CLIENTS, CHROMADB_PLUGIN, search::CHROMADB_CLIENT);
    return factory(search::ClientOptions{});
  };
  components.make_tavily_proxy_client = [](const std::string& base_url, const std::string& access_token) {
    auto factory = plugin_client_factory(search::WEB_SEARCH_CLIENTS, SCOUT_PLUGIN, search::TAVILY_PROXY_CLIENT);
    return factory(search::ClientOptions{base_url, access_token});
  };
  components.make_chromadb_proxy_client = [](const std::string& base_url, const std::string& access_token) {
    return std::make_shared<const search::ChromaDBProxyClient>(base_url, access_token);
  };
  components.app_url = [] { return platform::config::settings().app_url; };
  components.get_small_model = [](const std::string& provider) { return search::get_small_model(provider); };
  return components;
}

std::vector<SubAgent> get_default_subagents(std::string_view mode, const std::optional<std::string>& access_token,
                                            const std::optional<std::string>& model_provider) {
  return get_default_subagents(default_components(), mode, access_token, model_provider);
}

std::vector<SubAgent> get_default_subagents(const Components& components, std::string_view mode,
                                            const std::optional<std::string>& access_token,
                                            const std::optional<std::string>& model_provider) {
  std::vector<SubAgent> subagents;
  subagents.push_back(components.get_explore_subagent());

  if (mode == "web") {
    try {
      std::shared_ptr<const WebSearchClient> tavily_client = components.make_tavily_client();
      std::shared_ptr<const DocsSearchClient> chromadb_client = components.make_chromadb_client();
      std::optional<SubAgent> research = components.get_research_subagent(tavily_client);
      std::optional<SubAgent> docs = components.get_docs_subagent(chromadb_client);
      append_if_present(subagents, std::move(research));
      append_if_present(subagents, std::move(docs));
    } catch (const base::ValueError& error) {
      logger().warning(std::string(DIRECT_CLIENTS_UNAVAILABLE) + error.what());
    } catch (const base::KeyError& error) {
      logger().warning(std::string(DIRECT_CLIENTS_UNAVAILABLE) + error.what());
    }
  } else if (mode == "cli" && access_token && !access_token->empty()) {
    std::string base_url = components.app_url();
    std::shared_ptr<const WebSearchClient> tavily_client = components.make_tavily_proxy_client(base_url, *access_token);
    std::shared_ptr<const DocsSearchClient> chromadb_client =
        components.make_chromadb_proxy_client(base_url, *access_token);
    std::optional<SubAgent> research = components.get_research_subagent(tavily_client);
    std::optional<SubAgent> docs = components.get_docs_subagent(chromadb_client);
    append_if_present(subagents, std::move(research));
    append_if_present(subagents, std::move(docs));
  } else {
    logger().warning(ACCESS_TOKEN_UNAVAILABLE);
  }

  if (model_provider && !model_provider->empty()) {
    Json model = components.get_small_model(*model_provider);
    if (!base::is_falsy(model)) {
      for (SubAgent& subagent : subagents) subagent.definition["model"] = model;
    }
  }
  return subagents;
}

Json subagent_definitions(const std::vector<SubAgent>& subagents) {
  Json definitions = Json::array();
  for (const SubAgent& subagent : subagents) definitions.push_back(subagent.definition);
  return definitions;
}

Json get_default_subagents_operation(const Json& args) {
  base::JsonArgs reader(args, base::JsonArgsStyle{});
  std::string mode = reader.text("mode");
  std::optional<std::string> access_token = reader.nullable_text("access_token");
  std::optional<std::string> model_provider = reader.nullable_text("model_provider");
  return subagent_definitions(get_default_subagents(mode, access_token, model_provider));
}

}  // namespace velko::subagents::defaults
