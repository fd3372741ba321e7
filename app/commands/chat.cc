// velko chat: an interactive conversation with the agent. Each line is a question; the
// conversation is kept across turns. Commands: /exit (or end of input), /reset (forget
// the conversation), /tools (the tools the model may call), /prompt (the system prompt).
// Ctrl-C stops the running answer and the session goes on; a second Ctrl-C exits.
#include <unistd.h>

#include <iostream>

#include "app/agent_session.h"
#include "app/command.h"
#include "app/commands/commands.h"
#include "velko/base/strings.h"

namespace velko::app {

namespace {

struct ChatOptions {
  std::string config = "{}";
  SessionOptions session;
};

constexpr const char* kHelp = "Commands: /exit, /reset, /tools, /prompt, /help. Ctrl-C stops an answer.\n";

int run_chat(ChatOptions& options, const CommandContext& context) {
  if (!read_config(options.config, options.session)) return 2;
  apply_global_options(context.options);
  options.session.command = "chat";
  AgentSession session(options.session);
  const bool interactive = ::isatty(STDIN_FILENO) && !options.session.json;
  InterruptWatcher interrupts([&session] { session.print("\n(type /exit to leave)\n"); });
  if (interactive) session.print("velko chat: ask about your data. " + std::string(kHelp));
  std::string line;
  for (;;) {
    if (interactive) session.print("> ");
    if (!std::getline(std::cin, line)) break;
    std::string_view text = base::strip(line);
    if (text.empty()) continue;
    if (text == "/exit" || text == "/quit") break;
    if (text == "/help") {
      session.print(kHelp);
    } else if (text == "/reset") {
      session.reset();
      session.print("[conversation cleared]\n");
    } else if (text == "/tools") {
      std::string listing;
      for (const auto& tool : session.agent().tools()) {
        std::string description = tool.description().substr(0, tool.description().find('\n'));
        listing += "- " + tool.name() + ": " + base::shorten(description, 100) + "\n";
      }
      session.print(listing);
    } else if (text == "/prompt") {
      session.print(session.system_prompt() + "\n");
    } else if (text[0] == '/') {
      session.print("Unknown command " + std::string(text) + ". " + kHelp);
    } else {
      base::CancelSignalPtr cancel = interrupts.begin_turn();
      host::RunResult result = session.turn(std::string(text), cancel);
      interrupts.end_turn();
      finish_turn(session, result);
    }
  }
  host::ModelUsage total = session.total_usage();
  if (!options.session.json) {
    session.print("[session] " + std::to_string(total.input_tokens) + " input tokens, " +
                  std::to_string(total.output_tokens) + " output tokens in " + std::to_string(session.model_calls()) +
                  " model calls" + (session.log_path().empty() ? "" : "; saved to " + session.log_path()) + "\n");
  }
  return 0;
}

void setup_chat(CLI::App& app, CommandContext& context) {
  auto options = std::make_shared<ChatOptions>();
  CLI::App* command =
      app.add_subcommand("chat",
                         "Talk with the agent: questions line by line, the conversation kept across turns "
                         "(/exit, /reset, /tools, /prompt)");
  add_session_options(command, options->session, options->config);
  command->callback([options, &context] { context.exit_code = run_chat(*options, context); });
}

}  // namespace

void add_chat_command(CLI::App& app, CommandContext& context) { setup_chat(app, context); }

}  // namespace velko::app
