// The subcommands of velko, one per file in this folder. Each adds itself to `app`; the
// callback it installs reads its options and `context` and sets context.exit_code.
// add_all_commands lists them in the order `velko --help` shows them.
#pragma once

#include <CLI/CLI.hpp>

#include "app/command.h"

namespace velko::app {

void add_ask_command(CLI::App& app, CommandContext& context);          // velko ask
void add_cap_sql_command(CLI::App& app, CommandContext& context);      // velko cap-sql
void add_chat_command(CLI::App& app, CommandContext& context);         // velko chat
void add_connections_command(CLI::App& app, CommandContext& context);  // velko connections
void add_demo_command(CLI::App& app, CommandContext& context);         // velko demo
void add_docs_command(CLI::App& app, CommandContext& context);         // velko docs
void add_exec_command(CLI::App& app, CommandContext& context);         // velko exec
void add_mcp_command(CLI::App& app, CommandContext& context);          // velko mcp
void add_prompt_command(CLI::App& app, CommandContext& context);       // velko prompt
void add_search_command(CLI::App& app, CommandContext& context);       // velko search
void add_subagents_command(CLI::App& app, CommandContext& context);    // velko subagents
void add_tool_command(CLI::App& app, CommandContext& context);         // velko tool

// Adds every subcommand above, in name order.
inline void add_all_commands(CLI::App& app, CommandContext& context) {
  add_ask_command(app, context);
  add_cap_sql_command(app, context);
  add_chat_command(app, context);
  add_connections_command(app, context);
  add_demo_command(app, context);
  add_docs_command(app, context);
  add_exec_command(app, context);
  add_mcp_command(app, context);
  add_prompt_command(app, context);
  add_search_command(app, context);
  add_subagents_command(app, context);
  add_tool_command(app, context);
}

}  // namespace velko::app
