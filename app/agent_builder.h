// Builds the agent the way the product does: every middleware this build has, in the
// order analyst, skills, airflow, aws (the order their prompt sections appear).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "velko/host/agent.h"
#include "velko/host/registry.h"

namespace velko::app {

// Every module linked into this build, registered once.
host::Registry& builtin_registry();

struct AgentOptions {
  std::string mode = "cli";
  std::optional<std::string> cwd;
  std::shared_ptr<host::BackendProtocol> backend;
  std::optional<std::string> skills_dir;
  std::optional<std::string> system_prompt;
  std::shared_ptr<host::ChatModel> model;
};

std::shared_ptr<host::Agent> build_agent(const AgentOptions& options);

// The initial agent state for a connection (no key when the identifier is empty).
Json initial_state(const std::optional<std::string>& connection_id);

}  // namespace velko::app
