#include "app/agent_builder.h"

#include "velko/base/errors.h"
#include "velko/base/json.h"
#include "velko/base/run_mode.h"
#include "velko/platform/sandbox/e2b_backend.h"
#include "velko/platform/sandbox/local_sandbox.h"

namespace velko::app {

const std::vector<std::string> AGENT_PLUGINS = {"analyst", "skills", "airflow", "aws"};

// The command's registry and plug-in loader: one per process, made on first use, never
// destroyed (plug-ins stay loaded, and what they registered points into them). The
// command builds agents from one thread; the registry's own lock covers the rest.
host::Registry& plugin_registry() {
  static host::Registry* registry = new host::Registry();
  return *registry;
}

host::PluginLoader& plugin_loader() {
  static host::PluginLoader* loader = new host::PluginLoader(plugin_registry());
  return *loader;
}

std::vector<std::shared_ptr<host::AgentMiddleware>> build_middlewares(const AgentOptions& options) {
  std::shared_ptr<host::BackendProtocol> backend = options.backend;
  if (!backend && base::parse_run_mode(options.mode) == base::RunMode::kWeb && options.sandbox_id &&
      !options.sandbox_id->empty()) {
    if (!platform::sandbox::is_safe_sandbox_id(*options.sandbox_id)) {
      throw base::ValueError("Invalid sandbox id: " + base::quote(*options.sandbox_id));
    }
    auto e2b = std::make_shared<platform::sandbox::E2BBackend>();
    e2b->set_id(*options.sandbox_id);
    backend = e2b;
  }
  host::MiddlewareContext context{options.mode, backend, options.cwd, options.skills_dir};
  std::vector<std::shared_ptr<host::AgentMiddleware>> middlewares;
  for (const auto& name : AGENT_PLUGINS) {
    plugin_loader().load(name);
    auto factory = plugin_registry().middleware(name);
    if (!factory) throw base::ImportError("Plug-in '" + name + "' registered no middleware named '" + name + "'");
    middlewares.push_back((*factory)(context));
  }
  return middlewares;
}

std::shared_ptr<host::Agent> build_agent(const AgentOptions& options) {
  return std::make_shared<host::Agent>(build_middlewares(options), options.model, options.system_prompt);
}

Json initial_state(const std::optional<std::string>& connection_id) {
  Json state = Json::object();
  if (connection_id && !connection_id->empty()) state["connection_id"] = *connection_id;
  return state;
}

}  // namespace velko::app
