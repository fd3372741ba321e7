// Agent: the small runtime that hosts the middlewares.
//
// It holds the middlewares in order (the first is the outermost wrapper), the tools
// they built, and a ChatModel. It runs the before_agent hooks and merges their updates
// into the state, composes the wrap_model_call chain around the model and the
// wrap_tool_call chain around tool execution, and loops model -> tools -> model.
//
// An Agent is immutable after construction; its methods may be called from several
// threads at once (each call carries its own state and configuration).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "velko/host/middleware.h"

namespace velko::host {

// How one model call is made beyond the request itself.
struct ModelCallOptions {
  // Receives the answer's text as it is written, piece by piece, on the calling thread.
  // Null: nobody listens.
  std::function<void(std::string_view piece)> on_text;
  // When it fires, the call stops as soon as it can and throws base::CancelledError.
  base::CancelSignalPtr cancel = nullptr;
};

// The language model behind the agent. Implementations document their thread-safety.
class ChatModel {
 public:
  virtual ~ChatModel() = default;
  // One model call: the request's system prompt and messages, the tools the model may
  // call. Returns the answer; throws for a call that failed (the error text never holds
  // a credential).
  virtual ModelResponse invoke(const ModelRequest& request, const std::vector<Tool>& tools) = 0;
  // The same call with streaming and cancellation. The default calls invoke() (after
  // checking the signal) and hands the whole text to on_text at once.
  virtual ModelResponse stream(const ModelRequest& request, const std::vector<Tool>& tools,
                               const ModelCallOptions& options);
};

// What the loop reports while it runs.
struct AgentEvent {
  enum class Kind {
    kModelStart,  // a model call begins (step)
    kTextDelta,   // a piece of the answer (text)
    kModelEnd,    // the model call ended (elapsed_ms, usage, text: the whole answer)
    kToolStart,   // a tool call begins (call)
    kToolEnd,     // a tool call ended (call, result, status, elapsed_ms)
  };
  Kind kind = Kind::kModelStart;
  int step = 0;  // the model call this belongs to, from 1
  std::string text;
  ToolCall call;
  std::string result;
  ToolStatus status = ToolStatus::kSuccess;  // kToolEnd only
  double elapsed_ms = 0;
  ModelUsage usage;
};
// Must be thread-safe: tool events come from the threads that run the tools.
using AgentEventSink = std::function<void(const AgentEvent&)>;

struct InvokeOptions {
  // At most this many model calls per run.
  int max_steps = 25;
  // The tool calls of one model answer run concurrently, this many at a time (at least 1).
  size_t max_parallel_tools = 4;
  // Cancels the running step: the model call stops, running tools get the signal through
  // their ToolRuntime, calls not started yet are answered "Error: cancelled", and the run
  // ends with stop_reason "cancelled". The state stays consistent for the next run.
  base::CancelSignalPtr cancel = nullptr;
  AgentEventSink on_event;
  // Where every model call's usage is added (the task tool adds its sub-agents' there
  // too); null: the run keeps its own.
  UsageMeterPtr usage = nullptr;
};

// How a run ended.
struct RunResult {
  // The state after the run; "messages" holds the conversation, consistent even when the
  // run was cut short (every tool call the model made has its tool message).
  Json state = Json::object();
  // "done" (the model answered without tool calls), "step_limit", "cancelled" or "error".
  std::string stop_reason;
  // For "error": what failed (a model call's error, a hook's exception).
  std::string error;
  // The model's last answer text ("" when none).
  std::string answer;
  int steps = 0;
  // This run's model calls (the meter's total when InvokeOptions::usage was given).
  ModelUsage usage;
};

class Agent {
 public:
  Agent(std::vector<std::shared_ptr<AgentMiddleware>> middlewares, std::shared_ptr<ChatModel> model = nullptr,
        std::optional<std::string> system_prompt = std::nullopt);

  const std::vector<std::shared_ptr<AgentMiddleware>>& middlewares() const { return middlewares_; }
  // Every middleware's tools, in middleware order.
  const std::vector<Tool>& tools() const { return tools_; }
  // The tool of that name, or nullptr.
  const Tool* find_tool(const std::string& name) const;

  // Runs every before_agent hook in order with `config` bound; each hook sees the
  // updates of the hooks before it. Returns the merged state. Hook errors propagate.
  Json run_before_agent(Json state, const Json& config = Json::object()) const;
  // The same with the asynchronous hooks.
  Json arun_before_agent(Json state, const Json& config = Json::object()) const;

  // Runs the model-call chain around `innermost` (default: the ChatModel).
  ModelResponse call_model(const ModelRequest& request, const Json& config = Json::object()) const;
  ModelResponse call_model(const ModelRequest& request, const ModelHandler& innermost,
                           const Json& config = Json::object()) const;
  std::future<ModelResponse> acall_model(const ModelRequest& request, AsyncModelHandler innermost) const;

  // The system prompt the model would receive for `state`: the chain runs around a
  // handler that records the request instead of calling the model.
  std::string system_prompt_for(const Json& state, const Json& config = Json::object()) const;

  // Runs one tool call through the tool-call chain. An unknown tool or arguments that
  // fail the schema become a ToolMessage with status kError; so does anything the tool
  // lets escape ("Error: <what>", or "Error: the tool failed" for a value of no exception
  // class). Exceptions thrown by tool-call hooks propagate.
  ToolResult call_tool(const ToolCallRequest& request) const;
  // Convenience: the text of the resulting ToolMessage (a Command gives its update's JSON).
  // `cancel` reaches the tool's ToolRuntime.
  std::string call_tool_text(const ToolCall& call, const Json& state, const Json& config = Json::object(),
                             base::CancelSignalPtr cancel = nullptr) const;

  // The whole loop: before_agent, then model and tool calls until the model answers
  // without tool calls or `max_steps` model calls were made. Returns the final state,
  // whose "messages" holds the conversation. Errors of hooks and of the model propagate.
  Json invoke(Json state, const Json& config = Json::object(), int max_steps = 25) const;

  // The loop with streaming, events, concurrent tool calls and cancellation (see
  // InvokeOptions). Never throws for a failed model call, hook or cancellation: the
  // result says how the run ended. The messages of `state` are the conversation so far
  // ({"role": "user"|"assistant"|"tool", ...}); the new ones are appended.
  RunResult run(Json state, const Json& config, const InvokeOptions& options) const;

 private:
  ToolMessage execute_tool(const ToolCallRequest& request) const;
  void run_loop(RunResult& result, const Json& config, const InvokeOptions& options) const;
  void run_tools(const std::vector<ToolCall>& calls, RunResult& result, const Json& config,
                 const InvokeOptions& options, int step) const;

  const std::vector<std::shared_ptr<AgentMiddleware>> middlewares_;
  const std::shared_ptr<ChatModel> model_;
  const std::optional<std::string> system_prompt_;
  std::vector<Tool> tools_;
};

// Merges `update` (an object) into `state` key by key.
void merge_state(Json& state, const Json& update);

}  // namespace velko::host
