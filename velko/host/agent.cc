#include "velko/host/agent.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <thread>

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

ModelResponse Agent::call_model(const ModelRequest& request, const ModelHandler& innermost, const Json& config) const {
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
    message.status = ToolStatus::kError;
    return message;
  }
  try {
    tool->validate(request.call.args);
  } catch (const std::exception& error) {
    message.content = "Error invoking tool '" + tool->name() + "' with kwargs " + base::dumps(request.call.args) +
                      " with error:\n " + error.what() + "\n Please fix your mistakes.";
    message.status = ToolStatus::kError;
    return message;
  }
  ToolRuntime runtime{request.state, request.call.id, request.config, request.cancel, request.usage};
  try {
    message.content = tool->invoke(request.call.args, runtime);
  } catch (const std::exception& error) {
    message.content = std::string("Error: ") + error.what();
    message.status = ToolStatus::kError;
  } catch (...) {
    // The tool's boundary: nothing a tool throws may reach the model as an exception,
    // whatever its type.
    message.content = "Error: the tool failed";
    message.status = ToolStatus::kError;
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

namespace {

using Clock = std::chrono::steady_clock;

double millis_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

Json tool_message_json(const ToolMessage& message) {
  return {{"role", "tool"},
          {"tool_call_id", message.tool_call_id},
          {"name", message.name},
          {"content", message.content},
          {"status", tool_status_name(message.status)}};
}

Json assistant_message_json(const std::string& text, const std::vector<ToolCall>& calls) {
  Json assistant = {{"role", "assistant"}, {"content", text}, {"tool_calls", Json::array()}};
  for (const auto& call : calls) {
    assistant["tool_calls"].push_back({{"id", call.id}, {"name", call.name}, {"args", call.args}});
  }
  return assistant;
}

// Thrown out of run_loop to end the run with stop_reason "error" while keeping the
// exception for invoke(), which rethrows it.
struct LoopError {
  std::exception_ptr error;
};

}  // namespace

ModelResponse ChatModel::stream(const ModelRequest& request, const std::vector<Tool>& tools,
                                const ModelCallOptions& options) {
  base::throw_if_cancelled(options.cancel);
  ModelResponse response = invoke(request, tools);
  if (options.on_text && !response.text.empty()) options.on_text(response.text);
  return response;
}

void Agent::run_tools(const std::vector<ToolCall>& calls, RunResult& result, const Json& config,
                      const InvokeOptions& options, int step) const {
  // Every call sees the state as it was when the model answered; updates are merged
  // afterwards in the order of the calls.
  const Json state = result.state;
  std::vector<std::optional<ToolResult>> results(calls.size());
  std::vector<std::exception_ptr> errors(calls.size());
  std::atomic<size_t> next{0};
  auto worker = [&] {
    for (size_t index = next++; index < calls.size(); index = next++) {
      const ToolCall& call = calls[index];
      if (base::is_cancelled(options.cancel)) {
        results[index] = ToolMessage{"Error: cancelled", call.id, call.name, ToolStatus::kError};
        continue;
      }
      if (options.on_event)
        options.on_event(AgentEvent{AgentEvent::Kind::kToolStart, step, "", call, "", ToolStatus::kSuccess, 0, {}});
      auto started = Clock::now();
      try {
        results[index] = call_tool(ToolCallRequest{call, state, config, options.cancel, options.usage});
      } catch (...) {
        errors[index] = std::current_exception();
      }
      if (options.on_event) {
        AgentEvent event{AgentEvent::Kind::kToolEnd, step, "", call, "", ToolStatus::kError, millis_since(started), {}};
        if (results[index]) {
          if (const auto* message = std::get_if<ToolMessage>(&*results[index])) {
            event.result = message->content;
            event.status = message->status;
          } else {
            event.result = base::dumps(std::get<Command>(*results[index]).update);
            event.status = ToolStatus::kSuccess;
          }
        } else {
          event.result = "Error: the tool-call chain failed";
        }
        options.on_event(event);
      }
    }
  };
  size_t width = std::min(std::max<size_t>(options.max_parallel_tools, 1), calls.size());
  std::vector<std::thread> helpers;
  for (size_t idx = 1; idx < width; ++idx) helpers.emplace_back(worker);
  worker();
  for (auto& helper : helpers) helper.join();

  std::exception_ptr first_error;
  for (size_t index = 0; index < calls.size(); ++index) {
    if (errors[index]) {
      // The model still needs an answer for this call, or the conversation breaks.
      if (!first_error) first_error = errors[index];
      result.state["messages"].push_back(tool_message_json(
          ToolMessage{"Error: the tool call failed", calls[index].id, calls[index].name, ToolStatus::kError}));
      continue;
    }
    if (auto* message = std::get_if<ToolMessage>(&*results[index])) {
      result.state["messages"].push_back(tool_message_json(*message));
    } else {
      merge_state(result.state, std::get<Command>(*results[index]).update);
      // A state update answers the call too: record it so the conversation stays whole.
      result.state["messages"].push_back(
          tool_message_json(ToolMessage{"State updated.", calls[index].id, calls[index].name, ToolStatus::kSuccess}));
    }
  }
  if (first_error) throw LoopError{first_error};
}

void Agent::run_loop(RunResult& result, const Json& config, const InvokeOptions& options) const {
  try {
    Json merged = run_before_agent(result.state, config);  // a copy: a failing hook leaves the state whole
    result.state = std::move(merged);
  } catch (...) {
    throw LoopError{std::current_exception()};
  }
  if (!result.state.contains("messages") || !result.state["messages"].is_array()) {
    result.state["messages"] = Json::array();
  }
  UsageMeterPtr meter = options.usage ? options.usage : std::make_shared<UsageMeter>();
  for (int step = 1; step <= options.max_steps; ++step) {
    if (base::is_cancelled(options.cancel)) {
      result.stop_reason = "cancelled";
      return;
    }
    result.steps = step;
    if (options.on_event)
      options.on_event(AgentEvent{AgentEvent::Kind::kModelStart, step, "", {}, "", ToolStatus::kSuccess, 0, {}});
    std::string streamed;
    ModelCallOptions call_options;
    call_options.cancel = options.cancel;
    call_options.on_text = [&](std::string_view piece) {
      streamed.append(piece);
      if (options.on_event) {
        options.on_event(
            AgentEvent{AgentEvent::Kind::kTextDelta, step, std::string(piece), {}, "", ToolStatus::kSuccess, 0, {}});
      }
    };
    auto started = Clock::now();
    ModelResponse response;
    try {
      if (!model_) throw base::RuntimeError("this agent has no chat model");
      ModelRequest request(result.state, system_prompt_, result.state["messages"]);
      response = call_model(
          request, [&](const ModelRequest& req) { return model_->stream(req, tools_, call_options); }, config);
    } catch (const base::CancelledError&) {
      // What the user already saw stays in the conversation.
      if (!streamed.empty()) result.state["messages"].push_back(assistant_message_json(streamed, {}));
      result.stop_reason = "cancelled";
      return;
    } catch (...) {
      if (!streamed.empty()) result.state["messages"].push_back(assistant_message_json(streamed, {}));
      throw LoopError{std::current_exception()};
    }
    meter->add(response.usage);
    if (!options.usage) {
      result.usage.input_tokens += response.usage.input_tokens;
      result.usage.output_tokens += response.usage.output_tokens;
    }
    if (options.on_event) {
      options.on_event(AgentEvent{AgentEvent::Kind::kModelEnd,
                                  step,
                                  response.text,
                                  {},
                                  "",
                                  ToolStatus::kSuccess,
                                  millis_since(started),
                                  response.usage});
    }
    result.answer = response.text;
    result.state["messages"].push_back(assistant_message_json(response.text, response.tool_calls));
    if (response.tool_calls.empty()) {
      result.stop_reason = "done";
      return;
    }
    run_tools(response.tool_calls, result, config, options, step);
    if (base::is_cancelled(options.cancel)) {
      result.stop_reason = "cancelled";
      return;
    }
  }
  result.stop_reason = "step_limit";
}

RunResult Agent::run(Json state, const Json& config, const InvokeOptions& options) const {
  RunResult result;
  result.state = state.is_object() ? std::move(state) : Json::object();
  try {
    run_loop(result, config, options);
  } catch (const LoopError& failure) {
    result.stop_reason = "error";
    try {
      std::rethrow_exception(failure.error);
    } catch (const base::CancelledError&) {
      result.stop_reason = "cancelled";
    } catch (const std::exception& error) {
      result.error = error.what();
    } catch (...) {
      // run() never throws for a failed hook or model call, whatever was thrown.
      result.error = "unknown error (a hook or the model threw a value of no error class)";
    }
  }
  if (options.usage) result.usage = options.usage->total();
  return result;
}

Json Agent::invoke(Json state, const Json& config, int max_steps) const {
  InvokeOptions options;
  options.max_steps = max_steps;
  RunResult result;
  result.state = std::move(state);
  try {
    run_loop(result, config, options);
  } catch (const LoopError& failure) {
    std::rethrow_exception(failure.error);
  }
  return result.state;
}

}  // namespace velko::host
