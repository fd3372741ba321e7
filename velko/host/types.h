// The request, response and message types that flow through the agent runtime's hooks.
// Plain values: copyable, no shared state.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "velko/base/cancel.h"
#include "velko/base/json.h"
#include "velko/host/tool_status.h"

namespace velko::host {

// One tool call the model asked for.
struct ToolCall {
  std::string id;
  std::string name;
  Json args = Json::object();
};

// The tokens one model call used, as the model's API reported them (0 when it did not).
struct ModelUsage {
  long long input_tokens = 0;
  long long output_tokens = 0;
};

// What the model answered: text, and the tool calls it wants made (none ends the run).
struct ModelResponse {
  ModelResponse() = default;
  ModelResponse(std::string answer, std::vector<ToolCall> calls = {}, ModelUsage used = {})
      : text(std::move(answer)), tool_calls(std::move(calls)), usage(used) {}

  std::string text;
  std::vector<ToolCall> tool_calls;
  ModelUsage usage;
};

// Keeps the usage of every model call of a run, sub-agents' calls included, in the order
// they ended. Thread-safe.
class UsageMeter {
 public:
  void add(const ModelUsage& usage) {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.push_back(usage);
  }
  // The sum over every call so far.
  ModelUsage total() const {
    std::lock_guard<std::mutex> lock(mu_);
    ModelUsage sum;
    for (const auto& call : calls_) {
      sum.input_tokens += call.input_tokens;
      sum.output_tokens += call.output_tokens;
    }
    return sum;
  }
  std::vector<ModelUsage> calls() const {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }

 private:
  mutable std::mutex mu_;
  std::vector<ModelUsage> calls_;  // guarded by mu_
};
using UsageMeterPtr = std::shared_ptr<UsageMeter>;

// One model call as the middlewares see it.
class ModelRequest {
 public:
  ModelRequest() = default;
  ModelRequest(Json state, std::optional<std::string> system_prompt, Json messages = Json::array())
      : state_(std::move(state)), system_prompt_(std::move(system_prompt)), messages_(std::move(messages)) {}

  // The agent state (a JSON object).
  const Json& state() const { return state_; }
  // The system prompt; absent or empty when there is none.
  const std::optional<std::string>& system_prompt() const { return system_prompt_; }
  // The system prompt, or empty text when absent.
  std::string system_prompt_text() const { return system_prompt_.value_or(""); }
  // The conversation so far (JSON array of {"role", "content", ...} objects).
  const Json& messages() const { return messages_; }

  // A new request that differs from this one only in its system prompt.
  ModelRequest override_system_prompt(std::string system_prompt) const {
    ModelRequest copy = *this;
    copy.system_prompt_ = std::move(system_prompt);
    return copy;
  }

 private:
  Json state_ = Json::object();
  std::optional<std::string> system_prompt_;
  Json messages_ = Json::array();
};

// What the runtime hands to a tool besides its arguments.
struct ToolRuntime {
  Json state = Json::object();
  std::string tool_call_id;
  Json config = Json::object();
  // Cancelled by the caller when it no longer wants the answer; null when the call cannot
  // be cancelled. A tool that observes it stops what it waits on and answers with its
  // error text.
  base::CancelSignalPtr cancel = nullptr;
  // Where a tool that calls a model itself (the sub-agents' task tool) adds that model's
  // usage, so the run's total holds it; null when nobody counts.
  UsageMeterPtr usage = nullptr;
};

// One tool call as the tool-call hooks see it.
struct ToolCallRequest {
  ToolCall call;
  Json state = Json::object();
  Json config = Json::object();
  // Passed on to the tool's ToolRuntime (see there).
  base::CancelSignalPtr cancel = nullptr;
  UsageMeterPtr usage = nullptr;
};

// A tool's answer. status is kError when the tool could not run at all (see ToolStatus).
struct ToolMessage {
  std::string content;
  std::string tool_call_id;
  std::string name;
  ToolStatus status = ToolStatus::kSuccess;
};

// A state update returned instead of a message.
struct Command {
  Json update = Json::object();
};

using ToolResult = std::variant<ToolMessage, Command>;

// The runtime handle given to before_agent hooks. Carries the run configuration.
struct Runtime {
  Json config = Json::object();
};

}  // namespace velko::host
