// Builds the agent the way the product does: the middleware plug-ins, in the order
// analyst, skills, airflow, aws (the order their prompt sections appear), loaded from the
// plug-in directories (see host::PluginLoader).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velko/host/agent.h"
#include "velko/host/plugin.h"
#include "velko/host/registry.h"

namespace velko::app {

// The plug-ins whose middlewares make up the agent, in order.
extern const std::vector<std::string> AGENT_PLUGINS;

// The process's registry and the loader that fills it. Thread-safe.
host::Registry& plugin_registry();
host::PluginLoader& plugin_loader();

struct AgentOptions {
  std::string mode = "cli";
  std::optional<std::string> cwd;
  std::shared_ptr<host::BackendProtocol> backend;
  // In web mode without a backend: a sandbox backend of this id on the local sandbox.
  std::optional<std::string> sandbox_id;
  std::optional<std::string> skills_dir;
  std::optional<std::string> system_prompt;
  std::shared_ptr<host::ChatModel> model;
};

// Loads the agent plug-ins (throwing the loader's errors when one is missing or
// incompatible) and builds their middlewares, in AGENT_PLUGINS order.
std::vector<std::shared_ptr<host::AgentMiddleware>> build_middlewares(const AgentOptions& options);

// The agent of build_middlewares' middlewares.
std::shared_ptr<host::Agent> build_agent(const AgentOptions& options);

// The initial agent state for a connection (no key when the identifier is empty).
Json initial_state(const std::optional<std::string>& connection_id);

}  // namespace velko::app
