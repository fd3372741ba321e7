#include "velko/host/agent.h"

#include <gtest/gtest.h>

#include <thread>

#include "velko/base/errors.h"
#include "velko/host/config.h"

namespace velko::host {
namespace {

// Appends its tag to the system prompt, records before_agent calls, and can add a state key.
class TagMiddleware : public AgentMiddleware {
 public:
  TagMiddleware(std::string tag, Json update = nullptr) : tag_(std::move(tag)), update_(std::move(update)) {
    tools_.push_back(Tool("echo_" + tag_, "Echo", {{"text", "string", "", true}, {"times", "integer", "", false}},
                          [this](const Json& args, const ToolRuntime& runtime) {
                            return tag_ + ":" + args["text"].get<std::string>() + ":" + runtime.tool_call_id + ":" +
                                   runtime.state.value("seen", "");
                          }));
  }
  std::string name() const override { return "Tag" + tag_; }
  StateUpdate before_agent(const Json& state, const Runtime& runtime) override {
    seen_states.push_back(state);
    seen_config = runtime.config;
    seen_bound_config = get_config();
    if (update_.is_null()) return std::nullopt;
    return update_;
  }
  ModelResponse wrap_model_call(const ModelRequest& request, const ModelHandler& handler) override {
    return handler(request.override_system_prompt(request.system_prompt_text() + "[" + tag_ + "]"));
  }
  ToolResult wrap_tool_call(const ToolCallRequest& request, const ToolHandler& handler) override {
    ToolCallRequest changed = request;
    changed.state["seen"] = changed.state.value("seen", "") + tag_;
    return handler(changed);
  }
  std::vector<Json> seen_states;
  Json seen_config;
  Json seen_bound_config;

 private:
  std::string tag_;
  Json update_;
};

// Asks for one tool call, then answers with the tool's output.
class ScriptedModel : public ChatModel {
 public:
  ModelResponse invoke(const ModelRequest& request, const std::vector<Tool>& tools) override {
    prompts.push_back(request.system_prompt_text());
    tool_count = tools.size();
    if (request.messages().empty() || request.messages().back().value("role", "") != "tool") {
      return ModelResponse{"", {ToolCall{"call-1", "echo_a", {{"text", "hi"}}}}};
    }
    return ModelResponse{"done: " + request.messages().back()["content"].get<std::string>(), {}};
  }
  std::vector<std::string> prompts;
  size_t tool_count = 0;
};

TEST(Agent, BeforeAgentMergesUpdatesInOrderWithConfigBound) {
  auto first = std::make_shared<TagMiddleware>("a", Json{{"flag", true}});
  auto second = std::make_shared<TagMiddleware>("b", Json{{"flag", false}, {"other", 1}});
  Agent agent({first, second});
  Json config = {{"configurable", {{"skill_ids", {"s1"}}}}};
  Json state = agent.run_before_agent({{"connection_id", "c"}}, config);
  EXPECT_EQ(state, (Json{{"connection_id", "c"}, {"flag", false}, {"other", 1}}));
  ASSERT_EQ(second->seen_states.size(), 1u);
  EXPECT_EQ(second->seen_states[0]["flag"], true);  // sees the first hook's update
  EXPECT_EQ(first->seen_bound_config, config);
  EXPECT_EQ(first->seen_config, config);
  EXPECT_TRUE(get_config().empty());  // binding ends with the call

  Json async_state = agent.arun_before_agent(Json::object(), config);
  EXPECT_EQ(async_state["other"], 1);
}

TEST(Agent, ModelChainRunsFirstMiddlewareOutermost) {
  Agent agent({std::make_shared<TagMiddleware>("a"), std::make_shared<TagMiddleware>("b")}, nullptr, "base");
  EXPECT_EQ(agent.system_prompt_for(Json::object()), "base[a][b]");
  auto future = agent.acall_model(ModelRequest(Json::object(), std::string("x")), [](const ModelRequest& request) {
    return ready_future(ModelResponse{request.system_prompt_text(), {}});
  });
  EXPECT_EQ(future.get().text, "x[a][b]");
}

TEST(Agent, ToolCallsGoThroughTheChainAndErrorsBecomeMessages) {
  Agent agent({std::make_shared<TagMiddleware>("a"), std::make_shared<TagMiddleware>("b")});
  EXPECT_EQ(agent.call_tool_text(ToolCall{"id-7", "echo_b", {{"text", "x"}}}, Json::object()), "b:x:id-7:ab");

  ToolResult missing_arg = agent.call_tool(ToolCallRequest{ToolCall{"id", "echo_a", Json::object()}, {}, {}, nullptr});
  const auto& missing = std::get<ToolMessage>(missing_arg);
  EXPECT_EQ(missing.status, ToolStatus::kError);
  EXPECT_NE(missing.content.find("missing required argument 'text'"), std::string::npos);

  ToolResult wrong_type = agent.call_tool(ToolCallRequest{ToolCall{"id", "echo_a", {{"text", 5}}}, {}, {}});
  EXPECT_NE(std::get<ToolMessage>(wrong_type).content.find("'text' must be of type string"), std::string::npos);

  ToolResult unknown = agent.call_tool(ToolCallRequest{ToolCall{"id", "nope", Json::object()}, {}, {}, nullptr});
  EXPECT_EQ(std::get<ToolMessage>(unknown).content, "Error: nope is not a valid tool, try one of [echo_a, echo_b].");
}

// Each JSON Schema type checks its values; a type the schema does not name is refused
// when the tool is made, since it could check nothing.
TEST(Tool, ParameterTypesCheckTheirValuesAndUnknownTypesAreRefused) {
  std::vector<ToolParam> params;
  for (const char* type : {"string", "integer", "number", "boolean", "object", "array"}) {
    params.push_back(ToolParam{std::string(1, type[0]), type, "", true});
  }
  Tool tool("typed", "d", params, [](const Json&, const ToolRuntime&) { return std::string("ok"); });
  Json good = {{"s", "x"}, {"i", 3}, {"n", 2.5}, {"b", true}, {"o", Json::object()}, {"a", Json::array()}};
  EXPECT_NO_THROW(tool.validate(good));
  for (const auto& [name, bad] : std::vector<std::pair<std::string, Json>>{
           {"s", 1}, {"i", 2.5}, {"i", "3"}, {"n", "2"}, {"b", 1}, {"o", Json::array()}, {"a", Json::object()}}) {
    Json args = good;
    args[name] = bad;
    EXPECT_THROW(tool.validate(args), base::TypeError) << name << " = " << bad.dump();
  }
  EXPECT_EQ(tool.input_schema()["properties"]["i"]["type"], "integer");
  try {
    Tool loose("loose", "d", {ToolParam{"x", "strnig", "", true}},
               [](const Json&, const ToolRuntime&) { return std::string(); });
    ADD_FAILURE() << "a parameter of an unknown type was accepted";
  } catch (const base::ValueError& error) {
    EXPECT_NE(std::string(error.what()).find("'x' has the unknown type 'strnig'"), std::string::npos) << error.what();
  }
}

TEST(Agent, InvokeLoopsUntilTheModelStops) {
  auto model = std::make_shared<ScriptedModel>();
  Agent agent({std::make_shared<TagMiddleware>("a")}, model, "sys");
  Json state = agent.invoke({{"connection_id", "c"}});
  const Json& messages = state["messages"];
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[1]["content"], "a:hi:call-1:a");
  EXPECT_EQ(messages[2]["content"], "done: a:hi:call-1:a");
  EXPECT_EQ(model->prompts, (std::vector<std::string>{"sys[a]", "sys[a]"}));
  EXPECT_EQ(model->tool_count, 1u);
}

TEST(Config, WorkerThreadSeesTheCallersConfiguration) {
  ConfigScope scope(Json{{"configurable", {{"env_var_ids", {"e1"}}}}});
  auto future = run_on_worker([] { return get_configurable(); });
  EXPECT_EQ(future.get()["env_var_ids"][0], "e1");
  std::thread bare([] { EXPECT_TRUE(get_configurable().empty()); });
  bare.join();
}

TEST(ModelRequest, OverrideChangesOnlyThePrompt) {
  ModelRequest request({{"k", 1}}, std::nullopt, Json::array({{{"role", "user"}}}));
  ModelRequest changed = request.override_system_prompt("p");
  EXPECT_EQ(changed.system_prompt(), std::optional<std::string>("p"));
  EXPECT_EQ(changed.state(), request.state());
  EXPECT_EQ(changed.messages(), request.messages());
  EXPECT_FALSE(request.system_prompt().has_value());
}

}  // namespace
}  // namespace velko::host
