// One conversation with the agent, as `velko ask` and `velko chat` hold it: the model
// client, the agent with every middleware and the `task` tool for the sub-agents, the
// conversation kept across turns, what is printed while a turn runs, and the session log.
//
// Printing (stdout): the answer as it streams; each tool call when it starts
// ("[tool] NAME ARGS") and ends ("[tool] NAME done in 12 ms: SHORT RESULT", "failed" for
// an error); a spinner while the model or a tool works, only when stdout is a terminal;
// "[usage] ..." after each turn. With json, one JSON object per line instead (types
// model_start, text, model_end, tool_start, tool_end, turn_end). Errors go to stderr.
//
// The session log: ~/.velko/sessions/<UTC time>-<pid>.jsonl (directory 0700, file 0600),
// one JSON object per line: the session's header (model, mode, connection), then every
// message of the conversation as it is added, each turn's usage, and resets. It holds what
// the user and the model saw (tool results are already free of secrets); never an API key.
//
// Not thread-safe: one thread drives a session; the event sink it installs is.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/signal_pipe.h"
#include "velko/base/cancel.h"
#include "velko/base/json.h"
#include "velko/host/agent.h"

namespace velko::app {

inline constexpr const char* DEFAULT_AGENT_SYSTEM_PROMPT =
    "You are Velko, a data-engineering assistant. You answer questions about the user's data warehouse by "
    "exploring its schemas, reading table columns and running small, read-only SQL queries with your tools, "
    "and you draw charts when they help. Look before you query: find the tables and columns first. Keep answers "
    "short and concrete, show the numbers you found, and say which tables they come from.";

struct SessionOptions {
  std::string command = "ask";       // for the session log
  std::optional<std::string> model;  // PROVIDER:NAME; default $VELKO_MODEL
  std::string mode = "cli";
  std::optional<std::string> connection_id;
  std::optional<std::string> system_prompt;
  std::optional<std::string> subagent_provider;  // the sub-agents' small-model provider
  Json config = Json::object();
  int max_steps = 25;
  bool json = false;
  bool save = true;
};

class Spinner;

class AgentSession {
 public:
  // Builds the model (ValueError when none is chosen or its key is missing), the agent and
  // the sub-agents, and opens the session log. Throws the plug-in loader's errors.
  explicit AgentSession(SessionOptions options);
  ~AgentSession();
  AgentSession(const AgentSession&) = delete;
  AgentSession& operator=(const AgentSession&) = delete;

  // Runs one user turn with `cancel` as its Ctrl-C signal; prints as described above.
  host::RunResult turn(const std::string& user_text, const base::CancelSignalPtr& cancel);

  // Forgets the conversation (the log records the reset).
  void reset();

  const host::Agent& agent() const { return *agent_; }
  // The system prompt the model receives for the current state.
  std::string system_prompt() const;
  // The session log's path, or "" when not saved.
  const std::string& log_path() const { return log_path_; }
  // Every model call's usage so far.
  host::ModelUsage total_usage() const { return usage_->total(); }
  size_t model_calls() const { return usage_->calls().size(); }
  const SessionOptions& options() const { return options_; }

  // Writes `text` to stdout under the printing lock (spinner cleared first).
  void print(const std::string& text);

 private:
  void on_event(const host::AgentEvent& event);
  void log(const Json& line);

  const SessionOptions options_;
  std::string model_text_;
  std::shared_ptr<host::Agent> agent_;
  Json base_state_;
  Json state_;
  host::UsageMeterPtr usage_;
  std::string log_path_;
  std::FILE* log_file_ = nullptr;

  std::mutex out_mu_;
  // State below is guarded by out_mu_.
  std::unique_ptr<Spinner> spinner_;
  bool at_line_start_ = true;
  int running_tools_ = 0;
};

// Ctrl-C while a turn runs: the first press cancels the turn's signal, a second press in
// the same turn ends the process (exit status 130). Between turns a press calls
// `idle_hint` (chat prints how to leave). Installs its SIGINT handler for its lifetime.
class InterruptWatcher {
 public:
  explicit InterruptWatcher(std::function<void()> idle_hint = nullptr);
  InterruptWatcher(const InterruptWatcher&) = delete;
  InterruptWatcher& operator=(const InterruptWatcher&) = delete;

  // A fresh signal for the next turn; Ctrl-C cancels it until end_turn().
  base::CancelSignalPtr begin_turn();
  void end_turn();

 private:
  void on_press();

  const std::function<void()> idle_hint_;
  std::mutex mu_;
  base::CancelSignalPtr current_;  // guarded by mu_
  SignalPipe signals_;             // last: it calls on_press() until it is destroyed
};

// Prints the end of a turn (a stop that is not "done", the usage) and returns the exit
// status `velko ask` gives it: 0 done, 1 error or step limit, 130 cancelled.
int finish_turn(AgentSession& session, const host::RunResult& result);

}  // namespace velko::app

namespace CLI {
class App;
}

namespace velko::app {

// The options `velko ask` and `velko chat` share (--model, --mode, --connection-id,
// --system-prompt, --subagent-provider, --max-steps, --config, --json, --no-save); --config
// lands in `config` as text for read_config.
void add_session_options(CLI::App* command, SessionOptions& options, std::string& config);
// Parses the --config text into options.config; prints why not and returns false.
bool read_config(const std::string& text, SessionOptions& options);

}  // namespace velko::app
