#include "app/agent_session.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>

#include "app/agent_builder.h"
#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/strings.h"
#include "velko/models/model_factory.h"
#include "velko/subagents/defaults/defaults.h"
#include "velko/subagents/task/task_tool.h"

namespace velko::app {

// Draws "| thinking" over and over on the current line while active. Shares the
// session's printing mutex: start() and stop() are called with it held.
class Spinner {
 public:
  explicit Spinner(std::mutex& mu) : mu_(mu), thread_([this] { loop(); }) {}
  ~Spinner() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      quit_ = true;
    }
    woken_.notify_all();
    thread_.join();
  }
  void start(std::string label) {
    label_ = std::move(label);
    active_ = true;
  }
  void stop() {
    if (!active_) return;
    active_ = false;
    if (drawn_) std::fputs("\r\033[K", stdout);
    std::fflush(stdout);
    drawn_ = false;
  }

 private:
  void loop() {
    static constexpr const char* kFrames[] = {"|", "/", "-", "\\"};
    size_t frame = 0;
    std::unique_lock<std::mutex> lock(mu_);
    while (!quit_) {
      woken_.wait_for(lock, std::chrono::milliseconds(100), [this] { return quit_; });
      if (quit_ || !active_) continue;
      std::fprintf(stdout, "\r%s %s\033[K", kFrames[frame++ % 4], label_.c_str());
      std::fflush(stdout);
      drawn_ = true;
    }
  }

  std::mutex& mu_;
  std::condition_variable woken_;
  // State below is guarded by mu_.
  bool quit_ = false;
  bool active_ = false;
  bool drawn_ = false;
  std::string label_;
  std::thread thread_;  // last: starts once the members above exist
};

namespace {

std::string elapsed_text(double millis) {
  char text[32];
  if (millis < 1000) {
    std::snprintf(text, sizeof text, "%.0f ms", millis);
  } else {
    std::snprintf(text, sizeof text, "%.1f s", millis / 1000.0);
  }
  return text;
}

// A tool result on one line, cut short.
std::string short_form(const std::string& text, size_t max_bytes) {
  std::string flat;
  flat.reserve(std::min(text.size(), max_bytes * 2));
  for (char ch : text) {
    if (flat.size() > max_bytes * 2) break;
    flat += (ch == '\n' || ch == '\r' || ch == '\t') ? ' ' : ch;
  }
  return base::shorten(base::strip(flat), max_bytes);
}

std::string utc_stamp(const char* format) {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[64];
  std::strftime(text, sizeof text, format, &parts);
  return text;
}

}  // namespace

AgentSession::AgentSession(SessionOptions options) : options_(std::move(options)) {
  models::ModelSpec spec = models::choose_model_spec(options_.model);
  std::shared_ptr<host::ChatModel> model = models::make_chat_model(spec);
  model_text_ = spec.text();

  AgentOptions agent_options;
  agent_options.mode = options_.mode;
  agent_options.cwd = base::getenv_opt("PWD");
  std::vector<std::shared_ptr<host::AgentMiddleware>> middlewares = build_middlewares(agent_options);
  std::vector<host::Tool> tools;
  for (const auto& middleware : middlewares) {
    for (const auto& tool : middleware->tools()) tools.push_back(tool);
  }
  subagents::task::TaskToolOptions task;
  task.subagents = subagents::defaults::get_default_subagents(options_.mode, base::getenv_opt("VELKO_ACCESS_TOKEN"),
                                                              options_.subagent_provider);
  task.agent_tools = tools;
  task.prompt_middlewares = middlewares;
  task.model = model;
  task.make_model = &models::make_chat_model_from_descriptor;
  middlewares.push_back(std::make_shared<subagents::task::SubAgentMiddleware>(std::move(task)));
  agent_ = std::make_shared<host::Agent>(std::move(middlewares), model,
                                         options_.system_prompt.value_or(DEFAULT_AGENT_SYSTEM_PROMPT));

  base_state_ = initial_state(options_.connection_id);
  base_state_["messages"] = Json::array();
  state_ = base_state_;
  usage_ = std::make_shared<host::UsageMeter>();
  if (!options_.json && ::isatty(STDOUT_FILENO)) spinner_ = std::make_unique<Spinner>(out_mu_);

  if (options_.save) {
    try {
      std::filesystem::path dir = std::filesystem::path(base::home_dir()) / ".velko" / "sessions";
      std::filesystem::create_directories(dir);
      std::filesystem::permissions(dir, std::filesystem::perms::owner_all, std::filesystem::perm_options::replace);
      std::filesystem::path path = dir / (utc_stamp("%Y%m%dT%H%M%SZ") + "-" + std::to_string(::getpid()) + ".jsonl");
      int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
      if (fd >= 0) {
        log_file_ = ::fdopen(fd, "a");
        if (log_file_ == nullptr) ::close(fd);
      }
      if (log_file_ == nullptr) throw base::OSError("cannot create " + path.string());
      log_path_ = path.string();
    } catch (const std::exception& error) {
      std::cerr << "velko: the conversation is not saved: " << error.what() << "\n";
    }
  }
  Json header = {{"type", "session"},
                 {"version", 1},
                 {"started", utc_stamp("%Y-%m-%dT%H:%M:%SZ")},
                 {"command", options_.command},
                 {"model", model_text_},
                 {"mode", options_.mode},
                 {"connection_id", options_.connection_id ? Json(*options_.connection_id) : Json(nullptr)}};
  log(header);
}

AgentSession::~AgentSession() {
  spinner_.reset();
  if (log_file_ != nullptr) std::fclose(log_file_);
}

void AgentSession::log(const Json& line) {
  if (log_file_ == nullptr) return;
  std::string text = base::dumps(line) + "\n";
  std::fwrite(text.data(), 1, text.size(), log_file_);
  std::fflush(log_file_);
}

void AgentSession::print(const std::string& text) {
  std::lock_guard<std::mutex> lock(out_mu_);
  if (spinner_) spinner_->stop();
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  if (!text.empty()) at_line_start_ = text.back() == '\n';
}

std::string AgentSession::system_prompt() const {
  Json state = agent_->run_before_agent(state_, options_.config);
  return agent_->system_prompt_for(state, options_.config);
}

void AgentSession::reset() {
  state_ = base_state_;
  log({{"type", "reset"}});
}

void AgentSession::on_event(const host::AgentEvent& event) {
  using Kind = host::AgentEvent::Kind;
  std::lock_guard<std::mutex> lock(out_mu_);
  auto write = [this](const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (!text.empty()) at_line_start_ = text.back() == '\n';
  };
  if (options_.json) {
    Json line;
    switch (event.kind) {
      case Kind::kModelStart:
        line = {{"type", "model_start"}, {"step", event.step}};
        break;
      case Kind::kTextDelta:
        line = {{"type", "text"}, {"text", event.text}};
        break;
      case Kind::kModelEnd:
        line = {{"type", "model_end"},
                {"step", event.step},
                {"elapsed_ms", event.elapsed_ms},
                {"input_tokens", event.usage.input_tokens},
                {"output_tokens", event.usage.output_tokens}};
        break;
      case Kind::kToolStart:
        line = {{"type", "tool_start"}, {"id", event.call.id}, {"name", event.call.name}, {"args", event.call.args}};
        break;
      case Kind::kToolEnd:
        line = {{"type", "tool_end"},
                {"id", event.call.id},
                {"name", event.call.name},
                {"status", host::tool_status_name(event.status)},
                {"elapsed_ms", event.elapsed_ms},
                {"result", event.result}};
        break;
    }
    write(base::dumps(line) + "\n");
    std::fflush(stdout);
    return;
  }
  if (spinner_) spinner_->stop();
  switch (event.kind) {
    case Kind::kModelStart:
      if (spinner_) spinner_->start("thinking");
      break;
    case Kind::kTextDelta:
      write(event.text);
      break;
    case Kind::kModelEnd:
      if (!at_line_start_) write("\n");
      break;
    case Kind::kToolStart:
      if (!at_line_start_) write("\n");
      write("[tool] " + event.call.name + " " + short_form(base::dumps(event.call.args), 300) + "\n");
      ++running_tools_;
      if (spinner_) spinner_->start("running " + event.call.name);
      break;
    case Kind::kToolEnd:
      --running_tools_;
      write("[tool] " + event.call.name + (event.status == host::ToolStatus::kError ? " failed" : " done") + " in " +
            elapsed_text(event.elapsed_ms) + ": " + short_form(event.result, 160) + "\n");
      if (spinner_ && running_tools_ > 0) spinner_->start("running tools");
      break;
  }
  std::fflush(stdout);
}

host::RunResult AgentSession::turn(const std::string& user_text, const base::CancelSignalPtr& cancel) {
  if (!state_.contains("messages") || !state_["messages"].is_array()) state_["messages"] = Json::array();
  size_t first_new = state_["messages"].size();
  state_["messages"].push_back({{"role", "user"}, {"content", user_text}});
  host::ModelUsage before = usage_->total();
  size_t calls_before = usage_->calls().size();

  host::InvokeOptions invoke;
  invoke.max_steps = options_.max_steps;
  invoke.cancel = cancel;
  invoke.usage = usage_;
  invoke.on_event = [this](const host::AgentEvent& event) { on_event(event); };
  host::RunResult result = agent_->run(state_, options_.config, invoke);
  {
    std::lock_guard<std::mutex> lock(out_mu_);
    if (spinner_) spinner_->stop();
    running_tools_ = 0;
    if (!at_line_start_ && !options_.json) {
      std::fputs("\n", stdout);
      at_line_start_ = true;
    }
    std::fflush(stdout);
  }
  if (result.state.is_object() && result.state.contains("messages")) state_ = result.state;
  const Json& messages = state_["messages"];
  for (size_t index = first_new; index < messages.size(); ++index) {
    log({{"type", "message"}, {"message", messages[index]}});
  }
  host::ModelUsage after = usage_->total();
  result.usage = {after.input_tokens - before.input_tokens, after.output_tokens - before.output_tokens};
  result.steps = static_cast<int>(usage_->calls().size() - calls_before);
  log({{"type", "turn_end"},
       {"stop_reason", result.stop_reason},
       {"input_tokens", result.usage.input_tokens},
       {"output_tokens", result.usage.output_tokens}});
  return result;
}

int finish_turn(AgentSession& session, const host::RunResult& result) {
  int status = result.stop_reason == "done" ? 0 : result.stop_reason == "cancelled" ? 130 : 1;
  if (session.options().json) {
    Json line = {{"type", "turn_end"},
                 {"stop_reason", result.stop_reason},
                 {"answer", result.answer},
                 {"input_tokens", result.usage.input_tokens},
                 {"output_tokens", result.usage.output_tokens},
                 {"model_calls", result.steps},
                 {"session", session.log_path().empty() ? Json(nullptr) : Json(session.log_path())}};
    if (!result.error.empty()) line["error"] = result.error;
    session.print(base::dumps(line) + "\n");
    if (!result.error.empty()) std::cerr << "velko: " << result.error << "\n";
    return status;
  }
  if (result.stop_reason == "error") std::cerr << "velko: " << result.error << "\n";
  if (result.stop_reason == "cancelled") session.print("[cancelled]\n");
  if (result.stop_reason == "step_limit") {
    session.print("[stopped: the limit of " + std::to_string(session.options().max_steps) +
                  " model calls was reached before a final answer]\n");
  }
  session.print("[usage] " + std::to_string(result.usage.input_tokens) + " input tokens, " +
                std::to_string(result.usage.output_tokens) + " output tokens in " + std::to_string(result.steps) +
                " model call" + (result.steps == 1 ? "" : "s") + "\n");
  return status;
}

// --- Ctrl-C -------------------------------------------------------------------------------

InterruptWatcher::InterruptWatcher(std::function<void()> idle_hint)
    : idle_hint_(std::move(idle_hint)), signals_({SIGINT}, [this](int) { on_press(); }) {}

void InterruptWatcher::on_press() {
  std::function<void()> hint;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (current_) {
      if (current_->cancelled()) ::_exit(130);  // a second press: the user wants out now
      current_->cancel();
      return;
    }
    hint = idle_hint_;
  }
  if (hint) hint();
}

base::CancelSignalPtr InterruptWatcher::begin_turn() {
  std::lock_guard<std::mutex> lock(mu_);
  current_ = std::make_shared<base::CancelSignal>();
  return current_;
}

void InterruptWatcher::end_turn() {
  std::lock_guard<std::mutex> lock(mu_);
  current_.reset();
}

}  // namespace velko::app
