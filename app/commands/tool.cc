// velko tool NAME: runs one tool call through the agent's tool-call chain and prints the
// tool's text exactly (no newline added). Exit status 0 whenever the tool answered,
// error texts included; 1 when the runtime itself refused the call (unknown tool,
// arguments that fail the tool's schema); 2 for options that are not valid JSON.
//
// SIGINT and SIGTERM cancel the call: the tool stops what it waits on (a query is
// stopped on the server), its answer is printed ("Error executing query: cancelled" for
// a query) and the status is 130. A second signal ends the process at once.
#include <signal.h>

#include <atomic>
#include <iostream>

#include "app/agent_builder.h"
#include "app/command.h"
#include "app/commands/commands.h"
#include "app/signal_pipe.h"
#include "velko/base/cancel.h"
#include "velko/base/env.h"
#include "velko/base/json.h"

namespace velko::app {
namespace {

struct ToolOptions {
  std::string name;
  std::string args = "{}";
  std::string mode = "cli";
  std::optional<std::string> sandbox_id;
  std::optional<std::string> connection_id;
  std::string tool_call_id;
  std::string state = "{}";
  std::string config = "{}";
};

// Parses the JSON text of option `option`; prints why not and returns nullopt.
std::optional<Json> parse_option(const std::string& option, const std::string& text, bool object_only) {
  try {
    Json value = base::loads(text);
    if (object_only && !value.is_object()) {
      std::cerr << "velko: " << option << " must be a JSON object\n";
      return std::nullopt;
    }
    return value;
  } catch (const std::exception& error) {
    std::cerr << "velko: " << option << " is not valid JSON: " << error.what() << "\n";
    return std::nullopt;
  }
}

int run_tool(const ToolOptions& options, const CommandContext& context) {
  std::optional<Json> args = parse_option("--args", options.args, false);
  std::optional<Json> state = parse_option("--state", options.state, true);
  std::optional<Json> config = parse_option("--config", options.config, true);
  if (!args || !state || !config) return 2;
  if (options.connection_id) (*state)["connection_id"] = *options.connection_id;

  apply_global_options(context.options);
  AgentOptions agent_options;
  agent_options.mode = options.mode;
  agent_options.sandbox_id = options.sandbox_id;
  agent_options.cwd = base::getenv_opt("PWD");
  auto agent = build_agent(agent_options);

  host::ToolCall call{options.tool_call_id, options.name, *args};
  auto cancel = std::make_shared<base::CancelSignal>();
  host::ToolResult result;
  std::atomic<bool> interrupted{false};
  {
    // The first signal cancels the call; the defaults come back, so a second one ends
    // the process.
    SignalPipe signals({SIGINT, SIGTERM}, [&](int) {
      if (interrupted.exchange(true)) return;
      signals.restore_defaults();
      cancel->cancel();
    });
    result = agent->call_tool(host::ToolCallRequest{call, *state, *config, cancel});
  }
  constexpr int kInterruptedStatus = 130;  // 128 + SIGINT, as shells report it
  if (const auto* message = std::get_if<host::ToolMessage>(&result)) {
    write_stdout(message->content);
    if (interrupted) return kInterruptedStatus;
    return message->status == host::ToolStatus::kError ? 1 : 0;
  }
  write_stdout(base::dumps(std::get<host::Command>(result).update));
  return interrupted ? kInterruptedStatus : 0;
}

void setup_tool(CLI::App& app, CommandContext& context) {
  auto options = std::make_shared<ToolOptions>();
  CLI::App* command =
      app.add_subcommand("tool",
                         "Run one tool call through the agent's tool-call chain and print the tool's text exactly "
                         "(no newline added)");
  command->add_option("name", options->name, "Tool name, such as execute_sql_query")->required();
  command->add_option("--args", options->args, "The tool's arguments as a JSON object (default {})");
  command->add_option("--mode", options->mode, "cli or web")->check(CLI::IsMember({"cli", "web"}));
  command->add_option("--sandbox-id", options->sandbox_id, "web mode: run in the local sandbox of this id");
  command->add_option("--connection-id", options->connection_id,
                      "Warehouse connection (sets the state's connection_id; cli default: the default connection)");
  command->add_option("--tool-call-id", options->tool_call_id, "The tool call's identifier");
  command->add_option("--state", options->state, "Agent state as a JSON object");
  command->add_option("--config", options->config, "Run configuration as a JSON object");
  command->callback([options, &context] { context.exit_code = run_tool(*options, context); });
}

}  // namespace

void add_tool_command(CLI::App& app, CommandContext& context) { setup_tool(app, context); }

}  // namespace velko::app
