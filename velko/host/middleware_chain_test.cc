// How the runtime composes several middlewares: the order in which their hooks wrap model
// and tool calls, the asynchronous twins, hooks and tools that throw, state updates from
// before_agent and from tool calls, argument checks, and how the loop ends.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "velko/base/errors.h"
#include "velko/host/agent.h"
#include "velko/host/config.h"

namespace velko::host {
namespace {

using Trace = std::vector<std::string>;

// Writes "<tag>>" when a call enters its hook and "<<tag>" when the call comes back, and
// marks the answer it hands outwards with "<tag", so the nesting shows in both.
class Tracer : public AgentMiddleware {
 public:
  Tracer(std::string tag, std::shared_ptr<Trace> trace, Json update = nullptr)
      : tag_(std::move(tag)), trace_(std::move(trace)), update_(std::move(update)) {}
  std::string name() const override { return "Tracer" + tag_; }
  StateUpdate before_agent(const Json&, const Runtime&) override {
    trace_->push_back("before " + tag_);
    if (update_.is_null()) return std::nullopt;
    return update_;
  }
  ModelResponse wrap_model_call(const ModelRequest& request, const ModelHandler& handler) override {
    trace_->push_back(tag_ + ">");
    ModelResponse response = handler(request.override_system_prompt(request.system_prompt_text() + tag_));
    response.text += "<" + tag_;
    trace_->push_back("<" + tag_);
    return response;
  }
  ToolResult wrap_tool_call(const ToolCallRequest& request, const ToolHandler& handler) override {
    trace_->push_back(tag_ + ">");
    ToolResult result = handler(request);
    if (auto* message = std::get_if<ToolMessage>(&result)) message->content += "<" + tag_;
    trace_->push_back("<" + tag_);
    return result;
  }

 private:
  const std::string tag_;
  const std::shared_ptr<Trace> trace_;
  const Json update_;
};

class ToolsOnly : public AgentMiddleware {
 public:
  explicit ToolsOnly(std::vector<Tool> tools) { tools_ = std::move(tools); }
  std::string name() const override { return "ToolsOnly"; }
};

Tool traced_tool(std::shared_ptr<Trace> trace) {
  return Tool("work", "records that it ran", {}, [trace](const Json&, const ToolRuntime&) {
    trace->push_back("tool");
    return std::string("out");
  });
}

ToolCallRequest request_for(std::string name, Json args = Json::object()) {
  return ToolCallRequest{ToolCall{"id-1", std::move(name), std::move(args)}, Json::object(), Json::object()};
}

TEST(MiddlewareChain, FirstMiddlewareWrapsModelAndToolCallsOutermost) {
  auto trace = std::make_shared<Trace>();
  Agent agent({std::make_shared<Tracer>("a", trace), std::make_shared<Tracer>("b", trace),
               std::make_shared<ToolsOnly>(std::vector<Tool>{traced_tool(trace)})});
  ModelResponse answer =
      agent.call_model(ModelRequest(Json::object(), std::string("p:")), [&](const ModelRequest& req) {
        trace->push_back("model " + req.system_prompt_text());
        return ModelResponse("answer");
      });
  EXPECT_EQ(answer.text, "answer<b<a");
  EXPECT_EQ(*trace, (Trace{"a>", "b>", "model p:ab", "<b", "<a"}));

  trace->clear();
  ToolResult result = agent.call_tool(request_for("work"));
  EXPECT_EQ(std::get<ToolMessage>(result).content, "out<b<a");
  EXPECT_EQ(*trace, (Trace{"a>", "b>", "tool", "<b", "<a"}));
}

TEST(MiddlewareChain, AsynchronousTwinsHaveTheSynchronousEffects) {
  auto sync_trace = std::make_shared<Trace>();
  auto async_trace = std::make_shared<Trace>();
  auto make = [](std::shared_ptr<Trace> trace) {
    return Agent({std::make_shared<Tracer>("a", trace, Json{{"k", 1}}), std::make_shared<Tracer>("b", trace)});
  };
  Agent sync_agent = make(sync_trace);
  Agent async_agent = make(async_trace);
  EXPECT_EQ(async_agent.arun_before_agent(Json::object()), sync_agent.run_before_agent(Json::object()));

  ModelRequest request(Json::object(), std::string("p:"));
  ModelResponse sync_answer =
      sync_agent.call_model(request, [](const ModelRequest& req) { return ModelResponse(req.system_prompt_text()); });
  auto future = async_agent.acall_model(
      request, [](const ModelRequest& req) { return ready_future(ModelResponse(req.system_prompt_text())); });
  EXPECT_EQ(future.get().text, sync_answer.text);
  EXPECT_EQ(*async_trace, *sync_trace);

  // A middleware's own awrap_tool_call: nothing runs until the future is waited on.
  Tracer tracer("t", async_trace);
  async_trace->clear();
  auto tool_future = tracer.awrap_tool_call(request_for("x"), [](const ToolCallRequest& req) {
    return ready_future(ToolResult(ToolMessage{"inner", req.call.id, req.call.name}));
  });
  EXPECT_TRUE(async_trace->empty());
  EXPECT_EQ(std::get<ToolMessage>(tool_future.get()).content, "inner<t");
  EXPECT_EQ(*async_trace, (Trace{"t>", "<t"}));
}

TEST(MiddlewareChain, BeforeAgentUpdatesMergeKeyByKeyAndReplaceWholeValues) {
  auto trace = std::make_shared<Trace>();
  Agent agent({std::make_shared<Tracer>("a", trace, Json{{"nested", {{"x", 1}}}, {"first", true}}),
               std::make_shared<Tracer>("b", trace, Json{{"nested", {{"y", 2}}}}),
               std::make_shared<Tracer>("c", trace, Json::array({"not", "an", "object"}))});
  Json state = agent.run_before_agent({{"connection_id", "c1"}, {"nested", {{"z", 0}}}});
  EXPECT_EQ(state, (Json{{"connection_id", "c1"}, {"nested", {{"y", 2}}}, {"first", true}}));
  EXPECT_EQ(*trace, (Trace{"before a", "before b", "before c"}));

  Json not_an_object = Json::array();
  merge_state(not_an_object, {{"k", 1}});
  EXPECT_EQ(not_an_object, (Json{{"k", 1}}));
}

TEST(MiddlewareChain, AThrowingToolBecomesAnErrorMessageTheHooksSee) {
  auto trace = std::make_shared<Trace>();
  Tool failing("failing", "throws", {},
               [](const Json&, const ToolRuntime&) -> std::string { throw base::RuntimeError("disk full"); });
  Tool strange("strange", "throws what is not an exception class", {},
               [](const Json&, const ToolRuntime&) -> std::string { throw 42; });
  Agent agent({std::make_shared<Tracer>("a", trace), std::make_shared<ToolsOnly>(std::vector<Tool>{failing, strange})});
  ToolResult result = agent.call_tool(request_for("failing"));
  EXPECT_EQ(std::get<ToolMessage>(result).content, "Error: disk full<a");
  EXPECT_EQ(std::get<ToolMessage>(result).status, ToolStatus::kError);
  EXPECT_EQ(*trace, (Trace{"a>", "<a"}));  // the hook got a message, not an exception

  ToolResult odd;
  ASSERT_NO_THROW(odd = agent.call_tool(request_for("strange")));
  EXPECT_EQ(std::get<ToolMessage>(odd).content, "Error: the tool failed<a");
  EXPECT_EQ(std::get<ToolMessage>(odd).status, ToolStatus::kError);
}

// Arguments the schema refuses never reach the tool's body; what the model sees names
// the arguments and the reason in the fixed wording.
TEST(MiddlewareChain, ArgumentsThatFailTheSchemaNeverReachTheTool) {
  std::atomic<int> ran{0};
  Tool echo("echo", "echo", {{"text", "string", "", true}, {"times", "integer", "", false}},
            [&ran](const Json&, const ToolRuntime&) {
              ++ran;
              return std::string("ok");
            });
  Agent agent({std::make_shared<ToolsOnly>(std::vector<Tool>{echo})});
  const std::pair<Json, std::string> refused[] = {
      {Json::array(), "arguments must be a JSON object"},
      {Json(nullptr), "arguments must be a JSON object"},
      {Json{{"text", nullptr}}, "missing required argument 'text'"},
      {Json{{"text", "x"}, {"times", "2"}}, "argument 'times' must be of type integer"},
  };
  for (const auto& [args, reason] : refused) {
    ToolResult result = agent.call_tool(request_for("echo", args));
    const auto& message = std::get<ToolMessage>(result);
    EXPECT_EQ(message.status, ToolStatus::kError) << args.dump();
    EXPECT_EQ(message.content, "Error invoking tool 'echo' with kwargs " + base::dumps(args) + " with error:\n " +
                                   reason + "\n Please fix your mistakes.");
  }
  EXPECT_EQ(ran, 0);
  // Unknown arguments are ignored and an optional one may be null.
  ToolResult accepted = agent.call_tool(request_for("echo", {{"text", "x"}, {"times", nullptr}, {"extra", 1}}));
  EXPECT_EQ(std::get<ToolMessage>(accepted).status, ToolStatus::kSuccess);
  EXPECT_EQ(ran, 1);
}

}  // namespace
}  // namespace velko::host
