// AgentMiddleware: hooks the runtime calls once before the agent starts, around every
// model call and around every tool call. Each hook has an asynchronous twin returning a
// std::future with the same effects. Defaults: before_agent returns no update, the wrap
// hooks call the handler with the request unchanged, and each asynchronous twin runs its
// synchronous hook lazily (deferred) in the thread that waits on the future.
//
// A middleware is built once per agent and shared by every invocation: hooks must not
// keep per-invocation data in members and may run concurrently.
#pragma once

#include <functional>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "velko/base/json.h"
#include "velko/host/tool.h"
#include "velko/host/types.h"

namespace velko::host {

using ModelHandler = std::function<ModelResponse(const ModelRequest&)>;
using AsyncModelHandler = std::function<std::future<ModelResponse>(const ModelRequest&)>;
using ToolHandler = std::function<ToolResult(const ToolCallRequest&)>;
using AsyncToolHandler = std::function<std::future<ToolResult>(const ToolCallRequest&)>;

// A state update: a JSON object merged key by key into the agent state, or nothing.
using StateUpdate = std::optional<Json>;

class AgentMiddleware {
 public:
  virtual ~AgentMiddleware() = default;

  // A short name for logs and listings ("DataAnalysisMiddleware").
  virtual std::string name() const = 0;
  // The agent-state keys this middleware declares.
  virtual std::vector<std::string> state_schema() const { return {}; }
  // The tools built by the constructor, in the order offered to the model.
  const std::vector<Tool>& tools() const { return tools_; }

  virtual StateUpdate before_agent(const Json& state, const Runtime& runtime);
  virtual std::future<StateUpdate> abefore_agent(const Json& state, const Runtime& runtime);

  virtual ModelResponse wrap_model_call(const ModelRequest& request, const ModelHandler& handler);
  virtual std::future<ModelResponse> awrap_model_call(const ModelRequest& request, AsyncModelHandler handler);

  virtual ToolResult wrap_tool_call(const ToolCallRequest& request, const ToolHandler& handler);
  virtual std::future<ToolResult> awrap_tool_call(const ToolCallRequest& request, AsyncToolHandler handler);

 protected:
  std::vector<Tool> tools_;
};

// A middleware whose model-call hooks only change the request the model sees (most often,
// a section appended to the system prompt): both wrap_model_call and awrap_model_call call
// the handler with rewrite_request(request), which runs on the calling thread; what it
// throws passes to the caller and the handler is not called.
class RequestRewritingMiddleware : public AgentMiddleware {
 public:
  ModelResponse wrap_model_call(const ModelRequest& request, const ModelHandler& handler) final;
  std::future<ModelResponse> awrap_model_call(const ModelRequest& request, AsyncModelHandler handler) final;

 protected:
  virtual ModelRequest rewrite_request(const ModelRequest& request) const = 0;
};

}  // namespace velko::host
