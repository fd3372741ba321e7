// velko prompt: the system prompt the model would receive.
#include "app/agent_builder.h"
#include "app/command.h"
#include "app/commands/commands.h"
#include "velko/base/env.h"
#include "velko/base/json.h"

namespace velko::app {
namespace {

struct PromptOptions {
  std::string mode = "cli";
  std::string connection_id;
  std::optional<std::string> system_prompt;
  std::string config = "{}";
};

void setup_prompt(CLI::App& app, CommandContext& context) {
  auto options = std::make_shared<PromptOptions>();
  CLI::App* command = app.add_subcommand(
      "prompt",
      "Build the agent with every middleware, run its before-agent hooks and print the system prompt "
      "the model would receive (exactly, no newline added)");
  command->add_option("--mode", options->mode, "cli or web")->check(CLI::IsMember({"cli", "web"}));
  command->add_option("--connection-id", options->connection_id, "Warehouse connection (default: the default one)");
  command->add_option("--system-prompt", options->system_prompt, "Base system prompt the sections are appended to");
  command->add_option("--config", options->config, "Run configuration as JSON (e.g. {\"configurable\": {...}})");
  command->callback([options, &context] {
    apply_global_options(context.options);
    AgentOptions agent_options;
    agent_options.mode = options->mode;
    agent_options.cwd = base::getenv_opt("PWD");
    agent_options.system_prompt = options->system_prompt;
    auto agent = build_agent(agent_options);
    Json config = base::loads(options->config);
    Json state = agent->run_before_agent(initial_state(options->connection_id), config);
    write_stdout(agent->system_prompt_for(state, config));
  });
}

}  // namespace

void add_prompt_command(CLI::App& app, CommandContext& context) { setup_prompt(app, context); }

}  // namespace velko::app
