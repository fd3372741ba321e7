#include "app/agent_builder.h"

#include "velko/middleware/analyst/module.h"

namespace velko::app {

host::Registry& builtin_registry() {
  static host::Registry* registry = [] {
    auto* built = new host::Registry();
    middleware::analyst::register_module(*built);
    return built;
  }();
  return *registry;
}

std::shared_ptr<host::Agent> build_agent(const AgentOptions& options) {
  host::MiddlewareContext context{options.mode, options.backend, options.cwd, options.skills_dir};
  std::vector<std::shared_ptr<host::AgentMiddleware>> middlewares;
  for (const auto& name : builtin_registry().middleware_names()) {
    middlewares.push_back((*builtin_registry().middleware(name))(context));
  }
  return std::make_shared<host::Agent>(std::move(middlewares), options.model, options.system_prompt);
}

Json initial_state(const std::optional<std::string>& connection_id) {
  Json state = Json::object();
  if (connection_id && !connection_id->empty()) state["connection_id"] = *connection_id;
  return state;
}

}  // namespace velko::app
