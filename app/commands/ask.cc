// velko ask "QUESTION": the agent answers once, streaming, and the command exits.
// Exit status: 0 answered, 1 the model call failed or the step limit came first, 2 bad
// options, 130 cancelled with Ctrl-C.
#include <iostream>

#include "app/agent_session.h"
#include "app/command.h"
#include "app/commands/commands.h"
#include "velko/base/strings.h"

namespace velko::app {

void add_session_options(CLI::App* command, SessionOptions& options, std::string& config) {
  command->add_option("--model", options.model,
                      "The model as PROVIDER:NAME, e.g. openai:gpt-4.1-mini or anthropic:claude-sonnet-4-5 "
                      "(default: $VELKO_MODEL)");
  command->add_option("--mode", options.mode, "cli or web")->check(CLI::IsMember({"cli", "web"}));
  command->add_option("--connection-id", options.connection_id,
                      "Warehouse connection (cli default: the default connection)");
  command->add_option("--system-prompt", options.system_prompt, "Base system prompt the sections are appended to");
  command->add_option("--subagent-provider", options.subagent_provider,
                      "Run the sub-agents on this provider's small model (openai, anthropic)");
  command->add_option("--max-steps", options.max_steps, "At most this many model calls per question")
      ->check(CLI::Range(1, 1000));
  command->add_option("--config", config, "Run configuration as a JSON object (e.g. {\"configurable\": {...}})");
  command->add_flag("--json", options.json, "Print machine-readable events, one JSON object per line");
  command->add_flag("!--no-save", options.save, "Do not save the conversation under ~/.velko/sessions/");
}

bool read_config(const std::string& text, SessionOptions& options) {
  try {
    Json config = base::loads(text);
    if (!config.is_object()) {
      std::cerr << "velko: --config must be a JSON object\n";
      return false;
    }
    options.config = std::move(config);
    return true;
  } catch (const std::exception& error) {
    std::cerr << "velko: --config is not valid JSON: " << error.what() << "\n";
    return false;
  }
}

namespace {

struct AskOptions {
  std::string question;
  std::string config = "{}";
  SessionOptions session;
};

int run_ask(AskOptions& options, const CommandContext& context) {
  if (!read_config(options.config, options.session)) return 2;
  if (base::strip(options.question).empty()) {
    std::cerr << "velko: the question is empty\n";
    return 2;
  }
  apply_global_options(context.options);
  options.session.command = "ask";
  AgentSession session(options.session);
  InterruptWatcher interrupts;
  base::CancelSignalPtr cancel = interrupts.begin_turn();
  host::RunResult result = session.turn(options.question, cancel);
  interrupts.end_turn();
  return finish_turn(session, result);
}

void setup_ask(CLI::App& app, CommandContext& context) {
  auto options = std::make_shared<AskOptions>();
  CLI::App* command = app.add_subcommand(
      "ask", "Ask the agent one question: it explores the warehouse with its tools, streams its answer and exits");
  command->add_option("question", options->question, "The question")->required();
  add_session_options(command, options->session, options->config);
  command->callback([options, &context] { context.exit_code = run_ask(*options, context); });
}

}  // namespace

void add_ask_command(CLI::App& app, CommandContext& context) { setup_ask(app, context); }

}  // namespace velko::app
