// The `task` tool: the main model hands a self-contained task to one of the sub-agents
// (the list from get_default_subagents), which works on it as a nested agent and answers.
//
//   SubAgentMiddleware delegation({subagents, agent_tools, prompt_middlewares, model, make_model});
//   // its one tool: task {"subagent": "explore-agent", "task": "Find the revenue tables"}
//
// A task runs host::Agent::run with the sub-agent's system prompt, the prompt sections of
// `prompt_middlewares` (so an exploration sub-agent knows the warehouse's dialect), and the
// tools its definition names: its own tools first (research: web search; docs:
// documentation search), then the main agent's tools of those names (exploration: the
// warehouse tools). The sub-agent's "model" when it names one (through `make_model`),
// otherwise the main model. It gets the calling tool's state (connection_id, skills) with
// a conversation of one user message, the task; the main conversation is not shown to it.
// The run uses the tool call's cancellation signal and usage meter, so Ctrl-C stops it and
// its tokens count in the main run's total. The result is the sub-agent's final answer;
// failures are error texts ("Error: ..."), never exceptions. No sub-agent has the task
// tool itself: delegation is one level deep.
//
// Thread-safe: each call builds its own nested agent.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "velko/host/agent.h"
#include "velko/host/middleware.h"
#include "velko/platform/search_subagents/subagents.h"

namespace velko::subagents::task {

inline constexpr const char* TASK_TOOL_NAME = "task";
inline constexpr int DEFAULT_SUBAGENT_MAX_STEPS = 15;

struct TaskToolOptions {
  std::vector<platform::search_subagents::SubAgent> subagents;
  // The main agent's tools, for sub-agents that name them.
  std::vector<host::Tool> agent_tools;
  // Middlewares whose wrap_model_call hooks add their sections to the sub-agent's prompt
  // (their tools and other hooks are not used).
  std::vector<std::shared_ptr<host::AgentMiddleware>> prompt_middlewares;
  // The main model.
  std::shared_ptr<host::ChatModel> model;
  // Builds the model a sub-agent names ({"provider", "name"}); may throw. Null: the
  // sub-agents always use the main model.
  std::function<std::shared_ptr<host::ChatModel>(const Json& descriptor)> make_model;
  int max_steps = DEFAULT_SUBAGENT_MAX_STEPS;
};

// The tool's description: what it does and each sub-agent's name and description.
std::string task_tool_description(const std::vector<platform::search_subagents::SubAgent>& subagents);

host::Tool make_task_tool(TaskToolOptions options);

// A middleware whose only part is the task tool.
class SubAgentMiddleware : public host::AgentMiddleware {
 public:
  explicit SubAgentMiddleware(TaskToolOptions options);
  std::string name() const override { return "SubAgentMiddleware"; }
};

}  // namespace velko::subagents::task
