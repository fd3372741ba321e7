#include "velko/subagents/task/task_tool.h"

#include "velko/base/json.h"
#include "velko/base/strings.h"

namespace velko::subagents::task {
namespace {

using platform::search_subagents::SubAgent;

// Offers a fixed list of tools.
class ToolsMiddleware : public host::AgentMiddleware {
 public:
  explicit ToolsMiddleware(std::vector<host::Tool> tools) { tools_ = std::move(tools); }
  std::string name() const override { return "SubAgentTools"; }
};

// Lends another middleware's prompt section and nothing else.
class PromptSection : public host::AgentMiddleware {
 public:
  explicit PromptSection(std::shared_ptr<host::AgentMiddleware> inner) : inner_(std::move(inner)) {}
  std::string name() const override { return inner_->name(); }
  host::ModelResponse wrap_model_call(const host::ModelRequest& request, const host::ModelHandler& handler) override {
    return inner_->wrap_model_call(request, handler);
  }

 private:
  std::shared_ptr<host::AgentMiddleware> inner_;
};

const host::Tool* find_named(const std::vector<host::Tool>& tools, const std::string& name) {
  for (const auto& tool : tools) {
    if (tool.name() == name) return &tool;
  }
  return nullptr;
}

std::string names_list(const std::vector<SubAgent>& subagents) {
  std::string names = "[";
  for (size_t idx = 0; idx < subagents.size(); ++idx) names += (idx ? ", " : "") + subagents[idx].name();
  return names + "]";
}

std::string run_task(const TaskToolOptions& options, const Json& args, const host::ToolRuntime& runtime) {
  std::string name = args["subagent"].get<std::string>();
  std::string task = args["task"].get<std::string>();
  const SubAgent* subagent = nullptr;
  for (const auto& candidate : options.subagents) {
    if (candidate.name() == name) subagent = &candidate;
  }
  if (subagent == nullptr) {
    return "Error: there is no sub-agent named '" + name + "'; available: " + names_list(options.subagents);
  }
  if (base::strip(task).empty()) return "Error: the task is empty; describe what the sub-agent should do";

  std::shared_ptr<host::ChatModel> model = options.model;
  const Json& definition = subagent->definition;
  if (definition.contains("model") && !base::is_falsy(definition["model"]) && options.make_model) {
    try {
      model = options.make_model(definition["model"]);
    } catch (const std::exception& error) {
      return std::string("Error: the model of sub-agent '") + name + "' is not available: " + error.what();
    }
  }
  if (!model) return "Error: no model to run sub-agent '" + name + "'";

  std::vector<host::Tool> tools;
  if (definition.contains("tools") && definition["tools"].is_array()) {
    for (const Json& tool_name : definition["tools"]) {
      if (!tool_name.is_string()) continue;
      std::string wanted = tool_name.get<std::string>();
      const host::Tool* tool = find_named(subagent->tools, wanted);
      if (tool == nullptr) tool = find_named(options.agent_tools, wanted);
      if (tool != nullptr && wanted != TASK_TOOL_NAME && !find_named(tools, wanted)) tools.push_back(*tool);
    }
  }
  std::vector<std::shared_ptr<host::AgentMiddleware>> middlewares;
  for (const auto& middleware : options.prompt_middlewares) {
    middlewares.push_back(std::make_shared<PromptSection>(middleware));
  }
  middlewares.push_back(std::make_shared<ToolsMiddleware>(std::move(tools)));
  std::optional<std::string> system_prompt;
  if (definition.contains("system_prompt") && definition["system_prompt"].is_string()) {
    system_prompt = definition["system_prompt"].get<std::string>();
  }
  host::Agent agent(std::move(middlewares), model, system_prompt);

  Json state = runtime.state.is_object() ? runtime.state : Json::object();
  state["messages"] = Json::array({{{"role", "user"}, {"content", task}}});
  host::InvokeOptions invoke;
  invoke.max_steps = options.max_steps;
  invoke.cancel = runtime.cancel;
  invoke.usage = runtime.usage;
  host::RunResult result = agent.run(std::move(state), runtime.config, invoke);
  if (result.stop_reason == "done") {
    return result.answer.empty() ? "The sub-agent finished without an answer." : result.answer;
  }
  if (result.stop_reason == "cancelled") return "Error: cancelled";
  if (result.stop_reason == "step_limit") {
    return "Error: sub-agent '" + name + "' stopped after " + std::to_string(result.steps) +
           " steps without a final answer" + (result.answer.empty() ? "" : "; its last words: " + result.answer);
  }
  return "Error: sub-agent '" + name + "' failed: " + result.error;
}

}  // namespace

std::string task_tool_description(const std::vector<SubAgent>& subagents) {
  std::string text =
      "Delegate a self-contained task to a sub-agent. The sub-agent works on it alone with its own tools and "
      "returns its final answer, which only you see. It knows nothing of this conversation: put everything it "
      "needs into the task. Several tasks given in one turn run at the same time.\n\nAvailable sub-agents:";
  for (const auto& subagent : subagents) {
    text += "\n- " + subagent.name() + ": " + subagent.definition.value("description", std::string());
  }
  return text;
}

host::Tool make_task_tool(TaskToolOptions options) {
  auto shared = std::make_shared<const TaskToolOptions>(std::move(options));
  return host::Tool(TASK_TOOL_NAME, task_tool_description(shared->subagents),
                    {{"subagent", "string", "The sub-agent's name, one of " + names_list(shared->subagents), true},
                     {"task", "string", "The task, with everything the sub-agent needs to know", true}},
                    [shared](const Json& args, const host::ToolRuntime& runtime) -> std::string {
                      try {
                        return run_task(*shared, args, runtime);
                      } catch (const std::exception& error) {
                        return std::string("Error: ") + error.what();
                      }
                    });
}

SubAgentMiddleware::SubAgentMiddleware(TaskToolOptions options) {
  tools_.push_back(make_task_tool(std::move(options)));
}

}  // namespace velko::subagents::task
