// velko subagents: the default sub-agents for a mode, as JSON.
#include <optional>
#include <string>

#include "app/command.h"
#include "app/commands/commands.h"
#include "velko/base/env.h"
#include "velko/base/json.h"
#include "velko/subagents/defaults/defaults.h"

namespace velko::app {
namespace {

struct SubagentsOptions {
  std::string mode = "cli";
  std::optional<std::string> access_token;
  std::optional<std::string> model_provider;
};

void setup_subagents(CLI::App& app, CommandContext& context) {
  auto options = std::make_shared<SubagentsOptions>();
  CLI::App* command =
      app.add_subcommand("subagents",
                         "Print the default sub-agents for a mode as a JSON list (name, description, system prompt, "
                         "tools, model)");
  command->add_option("--mode", options->mode, "cli, web or kubernetes")
      ->check(CLI::IsMember({"cli", "web", "kubernetes"}));
  command->add_option("--access-token", options->access_token,
                      "The user's access token for the web application (default: $VELKO_ACCESS_TOKEN)");
  command->add_option("--model-provider", options->model_provider,
                      "Switch every sub-agent to this provider's small model (anthropic, openai, google)");
  command->callback([options, &context] {
    apply_global_options(context.options);
    std::optional<std::string> token = options->access_token;
    if (!token) token = base::getenv_opt("VELKO_ACCESS_TOKEN");
    auto subagents = subagents::defaults::get_default_subagents(options->mode, token, options->model_provider);
    write_stdout(base::dumps(subagents::defaults::subagent_definitions(subagents)) + "\n");
  });
}

}  // namespace

void add_subagents_command(CLI::App& app, CommandContext& context) { setup_subagents(app, context); }

}  // namespace velko::app
