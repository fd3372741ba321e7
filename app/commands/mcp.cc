// velko mcp: a Model Context Protocol server over stdio offering the agent's tools.
#include <iostream>

#include "app/agent_builder.h"
#include "app/command.h"
#include "velko/base/env.h"
#include "velko/base/json.h"
#include "velko/mcp/server.h"

namespace velko::app {
namespace {

struct McpOptions {
  std::string mode = "cli";
  std::optional<std::string> sandbox_id;
  std::string connection_id;
  std::string config = "{}";
};

void setup_mcp(CLI::App& app, CommandContext& context) {
  auto options = std::make_shared<McpOptions>();
  CLI::App* command = app.add_subcommand(
      "mcp", "Serve the agent's tools to a Model Context Protocol client over stdio (JSON-RPC 2.0, one message "
             "per line); the server's instructions are the system prompt for the connection");
  command->add_option("--mode", options->mode, "cli or web")->check(CLI::IsMember({"cli", "web"}));
  command->add_option("--sandbox-id", options->sandbox_id, "web mode: run in the local sandbox of this id");
  command->add_option("--connection-id", options->connection_id, "Warehouse connection (default: the default one)");
  command->add_option("--config", options->config, "Run configuration as JSON");
  command->callback([options, &context] {
    apply_global_options(context.options);
    AgentOptions agent_options;
    agent_options.mode = options->mode;
    agent_options.sandbox_id = options->sandbox_id;
    agent_options.cwd = base::getenv_opt("PWD");
    auto agent = build_agent(agent_options);
    Json config = base::loads(options->config);
    Json state = agent->run_before_agent(initial_state(options->connection_id), config);
    mcp::ServerOptions server_options;
    server_options.version = VELKO_VERSION;
    server_options.state = state;
    server_options.config = config;
    server_options.instructions = agent->system_prompt_for(state, config);
    std::ios::sync_with_stdio(false);
    mcp::Server(agent, server_options).serve(std::cin, std::cout);
  });
}

VELKO_REGISTER_COMMAND("mcp", setup_mcp);

}  // namespace
}  // namespace velko::app
