// velko: hosts the agent's modules from a shell. See `velko --help`.
#include <cstdio>
#include <exception>

#include "app/agent_builder.h"
#include "app/command.h"
#include "app/commands/commands.h"
#include "velko/host/plugin.h"

int main(int argc, char** argv) {
  // Plug-ins a module loads on demand (such as the search clients of the sub-agents)
  // register in the command's registry too.
  velko::host::set_process_plugin_loader(&velko::app::plugin_loader());
  CLI::App app{"velko: data-engineering agent modules (warehouse tools, skills, prompts, sandboxes)"};
  app.set_version_flag("--version", std::string("velko ") + VELKO_VERSION);
  app.require_subcommand(1);
  velko::app::CommandContext context;
  app.add_option("--services", context.options.services_dir,
                 "Directory of JSON files filling the hosted-service slots "
                 "(databases.json, skills.json, env_vars.json)")
      ->check(CLI::ExistingDirectory);
  app.fallthrough();
  velko::app::add_all_commands(app, context);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "velko: %s\n", error.what());
    return 1;
  }
  return context.exit_code;
}
