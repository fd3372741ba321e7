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

#include <memory>
#include <string>
#include <vector>

#include "velko/host/middleware.h"

namespace velko::host {

// The language model behind the agent. Implementations document their thread-safety.
class ChatModel {
 public:
  virtual ~ChatModel() = default;
  virtual ModelResponse invoke(const ModelRequest& request, const std::vector<Tool>& tools) = 0;
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
  // fail the schema become a ToolMessage with status "error"; so does an exception the
  // tool lets escape. Exceptions thrown by tool-call hooks propagate.
  ToolResult call_tool(const ToolCallRequest& request) const;
  // Convenience: the text of the resulting ToolMessage (a Command gives its update's JSON).
  // `cancel` reaches the tool's ToolRuntime.
  std::string call_tool_text(const ToolCall& call, const Json& state, const Json& config = Json::object(),
                             base::CancelSignalPtr cancel = nullptr) const;

  // The whole loop: before_agent, then model and tool calls until the model answers
  // without tool calls or `max_steps` model calls were made. Returns the final state,
  // whose "messages" holds the conversation.
  Json invoke(Json state, const Json& config = Json::object(), int max_steps = 25) const;

 private:
  ToolMessage execute_tool(const ToolCallRequest& request) const;

  const std::vector<std::shared_ptr<AgentMiddleware>> middlewares_;
  const std::shared_ptr<ChatModel> model_;
  const std::optional<std::string> system_prompt_;
  std::vector<Tool> tools_;
};

// Merges `update` (an object) into `state` key by key.
void merge_state(Json& state, const Json& update);

}  // namespace velko::host
