#include "velko/host/agent.h"

#include "velko/base/errors.h"
#include "velko/base/json.h"
#include "velko/host/config.h"

namespace velko::host {

void merge_state(Json& state, const Json& update) {
  if (!update.is_object()) return;
  if (!state.is_object()) state = Json::object();
  for (const auto& [key, value] : update.items()) state[key] = value;
}

Agent::Agent(std::vector<std::shared_ptr<AgentMiddleware>> middlewares, std::shared_ptr<ChatModel> model,
             std::optional<std::string> system_prompt)
    : middlewares_(std::move(middlewares)), model_(std::move(model)), system_prompt_(std::move(system_prompt)) {
  for (const auto& middleware : middlewares_) {
    for (const auto& tool : middleware->tools()) tools_.push_back(tool);
  }
}

const Tool* Agent::find_tool(const std::string& name) const {
  for (const auto& tool : tools_) {
    if (tool.name() == name) return &tool;
  }
  return nullptr;
}

Json Agent::run_before_agent(Json state, const Json& config) const {
  ConfigScope scope(config);
  Runtime runtime{config};
  for (const auto& middleware : middlewares_) {
    StateUpdate update = middleware->before_agent(state, runtime);
    if (update) merge_state(state, *update);
  }
  return state;
}

Json Agent::arun_before_agent(Json state, const Json& config) const {
  ConfigScope scope(config);
  Runtime runtime{config};
  for (const auto& middleware : middlewares_) {
    StateUpdate update = middleware->abefore_agent(state, runtime).get();
    if (update) merge_state(state, *update);
  }
  return state;
}

ModelResponse Agent::call_model(const ModelRequest& request, const ModelHandler& innermost,
                                const Json& config) const {
  ConfigScope scope(config);
  // Build the chain from the inside out: the first middleware wraps all the others.
  std::function<ModelResponse(size_t, const ModelRequest&)> step = [&](size_t index, const ModelRequest& req) {
    if (index == middlewares_.size()) return innermost(req);
    return middlewares_[index]->wrap_model_call(
        req, [&step, index](const ModelRequest& inner) { return step(index + 1, inner); });
  };
  return step(0, request);
}

ModelResponse Agent::call_model(const ModelRequest& request, const Json& config) const {
  if (!model_) throw base::RuntimeError("this agent has no chat model");
  return call_model(
      request, [this](const ModelRequest& req) { return model_->invoke(req, tools_); }, config);
}

std::future<ModelResponse> Agent::acall_model(const ModelRequest& request, AsyncModelHandler innermost) const {
  std::function<std::future<ModelResponse>(size_t, const ModelRequest&)> step;
  auto shared_step = std::make_shared<decltype(step)>();
  *shared_step = [this, innermost, weak = std::weak_ptr(shared_step)](size_t index, const ModelRequest& req) {
    if (index == middlewares_.size()) return innermost(req);
    auto self = weak.lock();
    return middlewares_[index]->awrap_model_call(
        req, [self, index](const ModelRequest& inner) { return (*self)(index + 1, inner); });
  };
  // Keep the chain alive until the future has been consumed.
  auto future = (*shared_step)(0, request);
  return std::async(std::launch::deferred,
                    [shared_step, future = std::move(future)]() mutable { return future.get(); });
}

std::string Agent::system_prompt_for(const Json& state, const Json& config) const {
  ModelRequest request(state, system_prompt_);
  std::string captured;
  call_model(
      request,
      [&captured](const ModelRequest& req) {
        captured = req.system_prompt_text();
        return ModelResponse{};
      },
      config);
  return captured;
}

ToolMessage Agent::execute_tool(const ToolCallRequest& request) const {
  ToolMessage message;
  message.tool_call_id = request.call.id;
  message.name = request.call.name;
  const Tool* tool = find_tool(request.call.name);
  if (tool == nullptr) {
    message.content = "Error: " + request.call.name + " is not a valid tool, try one of [";
    for (size_t idx = 0; idx < tools_.size(); ++idx) {
      message.content += (idx ? ", " : "") + tools_[idx].name();
    }
    message.content += "].";
    message.status = "error";
    return message;
  }
  try {
    tool->validate(request.call.args);
  } catch (const std::exception& error) {
    message.content = "Error invoking tool '" + tool->name() + "' with kwargs " + base::dumps(request.call.args) +
                      " with error:\n " + error.what() + "\n Please fix your mistakes.";
    message.status = "error";
    return message;
  }
  ToolRuntime runtime{request.state, request.call.id, request.config, request.cancel};
  try {
    message.content = tool->invoke(request.call.args, runtime);
  } catch (const std::exception& error) {
    message.content = std::string("Error: ") + error.what();
    message.status = "error";
  }
  return message;
}

ToolResult Agent::call_tool(const ToolCallRequest& original) const {
  ToolCallRequest request = original;
  if (!request.state.is_object()) request.state = Json::object();
  if (!request.config.is_object()) request.config = Json::object();
  ConfigScope scope(request.config);
  std::function<ToolResult(size_t, const ToolCallRequest&)> step = [&](size_t index, const ToolCallRequest& req) {
    if (index == middlewares_.size()) return ToolResult(execute_tool(req));
    return middlewares_[index]->wrap_tool_call(
        req, [&step, index](const ToolCallRequest& inner) { return step(index + 1, inner); });
  };
  return step(0, request);
}

std::string Agent::call_tool_text(const ToolCall& call, const Json& state, const Json& config,
                                  base::CancelSignalPtr cancel) const {
  ToolResult result = call_tool(ToolCallRequest{call, state, config, std::move(cancel)});
  if (const auto* message = std::get_if<ToolMessage>(&result)) return message->content;
  return base::dumps(std::get<Command>(result).update);
}

Json Agent::invoke(Json state, const Json& config, int max_steps) const {
  state = run_before_agent(std::move(state), config);
  if (!state.contains("messages") || !state["messages"].is_array()) state["messages"] = Json::array();
  for (int step = 0; step < max_steps; ++step) {
    ModelRequest request(state, system_prompt_, state["messages"]);
    ModelResponse response = call_model(request, config);
    Json assistant = {{"role", "assistant"}, {"content", response.text}, {"tool_calls", Json::array()}};
    for (const auto& call : response.tool_calls) {
      assistant["tool_calls"].push_back({{"id", call.id}, {"name", call.name}, {"args", call.args}});
    }
    state["messages"].push_back(assistant);
    if (response.tool_calls.empty()) break;
    for (const auto& call : response.tool_calls) {
      ToolResult result = call_tool(ToolCallRequest{call, state, config, nullptr});
      if (auto* message = std::get_if<ToolMessage>(&result)) {
        state["messages"].push_back({{"role", "tool"},
                                     {"tool_call_id", message->tool_call_id},
                                     {"name", message->name},
                                     {"content", message->content},
                                     {"status", message->status}});
      } else {
        merge_state(state, std::get<Command>(result).update);
      }
    }
  }
  return state;
}

}  // namespace velko::host
