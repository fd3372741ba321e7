#include "velko/host/middleware.h"

namespace velko::host {

StateUpdate AgentMiddleware::before_agent(const Json&, const Runtime&) { return std::nullopt; }

std::future<StateUpdate> AgentMiddleware::abefore_agent(const Json& state, const Runtime& runtime) {
  return std::async(std::launch::deferred, [this, state, runtime] { return before_agent(state, runtime); });
}

ModelResponse AgentMiddleware::wrap_model_call(const ModelRequest& request, const ModelHandler& handler) {
  return handler(request);
}

std::future<ModelResponse> AgentMiddleware::awrap_model_call(const ModelRequest& request, AsyncModelHandler handler) {
  return std::async(std::launch::deferred, [this, request, handler = std::move(handler)] {
    return wrap_model_call(request, [&handler](const ModelRequest& inner) { return handler(inner).get(); });
  });
}

ToolResult AgentMiddleware::wrap_tool_call(const ToolCallRequest& request, const ToolHandler& handler) {
  return handler(request);
}

std::future<ToolResult> AgentMiddleware::awrap_tool_call(const ToolCallRequest& request, AsyncToolHandler handler) {
  return std::async(std::launch::deferred, [this, request, handler = std::move(handler)] {
    return wrap_tool_call(request, [&handler](const ToolCallRequest& inner) { return handler(inner).get(); });
  });
}

ModelResponse RequestRewritingMiddleware::wrap_model_call(const ModelRequest& request, const ModelHandler& handler) {
  return handler(rewrite_request(request));
}

std::future<ModelResponse> RequestRewritingMiddleware::awrap_model_call(const ModelRequest& request,
                                                                        AsyncModelHandler handler) {
  return handler(rewrite_request(request));
}

}  // namespace velko::host
