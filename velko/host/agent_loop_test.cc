// Agent::run: streaming events, concurrent tool calls, cancellation, the step limit and
// failures, with scripted models and tools.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "velko/base/errors.h"
#include "velko/host/agent.h"
#include "velko/host/config.h"

namespace velko::host {
namespace {

using namespace std::chrono_literals;

// Answers with the scripted responses in order; the last one again when they run out.
// Streams each answer's text in two pieces.
class QueueModel : public ChatModel {
 public:
  explicit QueueModel(std::vector<ModelResponse> answers) : answers_(answers.begin(), answers.end()) {}
  ModelResponse invoke(const ModelRequest& request, const std::vector<Tool>& tools) override {
    return stream(request, tools, ModelCallOptions{});
  }
  ModelResponse stream(const ModelRequest& request, const std::vector<Tool>&,
                       const ModelCallOptions& options) override {
    std::lock_guard<std::mutex> lock(mu_);
    requests.push_back(request);
    ModelResponse answer = answers_.front();
    if (answers_.size() > 1) answers_.pop_front();
    if (options.on_text && !answer.text.empty()) {
      size_t half = answer.text.size() / 2;
      options.on_text(answer.text.substr(0, half));
      options.on_text(answer.text.substr(half));
    }
    return answer;
  }
  std::vector<ModelRequest> requests;

 private:
  std::mutex mu_;
  std::deque<ModelResponse> answers_;
};

class ToolsOnly : public AgentMiddleware {
 public:
  explicit ToolsOnly(std::vector<Tool> tools) { tools_ = std::move(tools); }
  std::string name() const override { return "ToolsOnly"; }
};

ToolCall call(std::string id, std::string name, Json args = Json::object()) {
  return ToolCall{std::move(id), std::move(name), std::move(args)};
}

Json user(const std::string& text) { return {{"messages", Json::array({{{"role", "user"}, {"content", text}}})}}; }

// A tool that waits until `expected` calls are inside it at once (or 5 s pass) and
// answers how many it saw; records the largest number inside at once.
struct Rendezvous {
  std::mutex mu;
  std::condition_variable changed;
  int inside = 0;
  int most = 0;
  Tool tool(const std::string& name, int expected) {
    return Tool(name, "waits for the others", {{"tag", "string", "", false}},
                [this, expected](const Json&, const ToolRuntime&) {
                  std::unique_lock<std::mutex> lock(mu);
                  ++inside;
                  most = std::max(most, inside);
                  changed.notify_all();
                  changed.wait_for(lock, 5s, [&] { return inside >= expected; });
                  std::string seen = std::to_string(inside);
                  lock.unlock();
                  std::this_thread::sleep_for(20ms);
                  lock.lock();
                  --inside;
                  return seen;
                });
  }
};

TEST(AgentRun, ToolCallsOfOneAnswerRunConcurrentlyAndAnswerInOrder) {
  Rendezvous meeting;
  auto model = std::make_shared<QueueModel>(std::vector<ModelResponse>{
      ModelResponse("", {call("a", "meet"), call("b", "meet"), call("c", "meet")}), ModelResponse("all met")});
  Agent agent({std::make_shared<ToolsOnly>(std::vector<Tool>{meeting.tool("meet", 3)})}, model);
  InvokeOptions options;
  options.max_parallel_tools = 3;
  RunResult result = agent.run(user("go"), Json::object(), options);
  ASSERT_EQ(result.stop_reason, "done") << result.error;
  EXPECT_EQ(result.answer, "all met");
  const Json& messages = result.state["messages"];
  ASSERT_EQ(messages.size(), 6u);  // user, assistant, 3 tool answers, assistant
  for (size_t index = 0; index < 3; ++index) {
    EXPECT_EQ(messages[2 + index]["tool_call_id"], std::string(1, static_cast<char>('a' + index)));
    EXPECT_EQ(messages[2 + index]["content"], "3");  // all three were inside at once
  }
  EXPECT_EQ(meeting.most, 3);
  // The second model call saw every tool answer.
  ASSERT_EQ(model->requests.size(), 2u);
  EXPECT_EQ(model->requests[1].messages().size(), 5u);
}

TEST(AgentRun, ConcurrencyIsBounded) {
  Rendezvous meeting;
  std::vector<ToolCall> calls;
  for (int idx = 0; idx < 6; ++idx) calls.push_back(call("c" + std::to_string(idx), "meet"));
  auto model = std::make_shared<QueueModel>(std::vector<ModelResponse>{ModelResponse("", calls), ModelResponse("ok")});
  Agent agent({std::make_shared<ToolsOnly>(std::vector<Tool>{meeting.tool("meet", 2)})}, model);
  InvokeOptions options;
  options.max_parallel_tools = 2;
  RunResult result = agent.run(user("go"), Json::object(), options);
  EXPECT_EQ(result.stop_reason, "done");
  EXPECT_EQ(meeting.most, 2);
}

TEST(AgentRun, EventsStreamTextAndReportToolsAndUsage) {
  Tool echo("echo", "echo", {{"text", "string", "", true}},
            [](const Json& args, const ToolRuntime&) { return "echo:" + args["text"].get<std::string>(); });
  auto model = std::make_shared<QueueModel>(std::vector<ModelResponse>{
      ModelResponse("Let me check.", {call("e1", "echo", {{"text", "hi"}})}, ModelUsage{10, 3}),
      ModelResponse("The tool said hi.", {}, ModelUsage{20, 5})});
  Agent agent({std::make_shared<ToolsOnly>(std::vector<Tool>{echo})}, model, "sys");
  std::mutex mu;
  std::vector<AgentEvent> events;
  InvokeOptions options;
  options.on_event = [&](const AgentEvent& event) {
    std::lock_guard<std::mutex> lock(mu);
    events.push_back(event);
  };
  RunResult result = agent.run(user("hi?"), Json::object(), options);
  ASSERT_EQ(result.stop_reason, "done");
  EXPECT_EQ(result.usage.input_tokens, 30);
  EXPECT_EQ(result.usage.output_tokens, 8);
  EXPECT_EQ(result.steps, 2);
  using Kind = AgentEvent::Kind;
  std::vector<Kind> kinds;
  std::string streamed;
  for (const auto& event : events) {
    kinds.push_back(event.kind);
    if (event.kind == Kind::kTextDelta) streamed += event.text;
  }
  EXPECT_EQ(kinds, (std::vector<Kind>{Kind::kModelStart, Kind::kTextDelta, Kind::kTextDelta, Kind::kModelEnd,
                                      Kind::kToolStart, Kind::kToolEnd, Kind::kModelStart, Kind::kTextDelta,
                                      Kind::kTextDelta, Kind::kModelEnd}));
  EXPECT_EQ(streamed, "Let me check.The tool said hi.");
  EXPECT_EQ(events[4].call.args, (Json{{"text", "hi"}}));
  EXPECT_EQ(events[5].result, "echo:hi");
  EXPECT_EQ(events[5].status, ToolStatus::kSuccess);
  EXPECT_GE(events[5].elapsed_ms, 0.0);
  EXPECT_EQ(events[3].usage.input_tokens, 10);
}

TEST(AgentRun, CtrlCDuringASlowToolEndsTheStepAndTheSessionGoesOn) {
  std::atomic<bool> started{false};
  Tool slow("slow_query", "waits until cancelled", {},
            [&started](const Json&, const ToolRuntime& runtime) -> std::string {
              started = true;
              std::mutex mu;
              std::condition_variable woken;
              bool cancelled = false;
              auto subscription = base::on_cancel(runtime.cancel, [&] {
                std::lock_guard<std::mutex> lock(mu);
                cancelled = true;
                woken.notify_all();
              });
              std::unique_lock<std::mutex> lock(mu);
              if (!woken.wait_for(lock, 20s, [&] { return cancelled; })) return "finished after 20 s";
              return "Error executing query: cancelled";
            });
  Tool quick("quick", "answers at once", {}, [](const Json&, const ToolRuntime&) { return "quick"; });
  auto model = std::make_shared<QueueModel>(std::vector<ModelResponse>{
      ModelResponse("", {call("s1", "slow_query"), call("q1", "quick"), call("q2", "quick")}),
      ModelResponse("second turn answer")});
  Agent agent({std::make_shared<ToolsOnly>(std::vector<Tool>{slow, quick})}, model);
  auto cancel = std::make_shared<base::CancelSignal>();
  InvokeOptions options;
  options.cancel = cancel;
  options.max_parallel_tools = 1;  // the quick calls wait behind the slow one
  std::thread presser([&] {
    while (!started) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(20ms);
    cancel->cancel();
  });
  auto began = std::chrono::steady_clock::now();
  RunResult first = agent.run(user("slow please"), Json::object(), options);
  presser.join();
  EXPECT_LT(std::chrono::steady_clock::now() - began, 10s);
  EXPECT_EQ(first.stop_reason, "cancelled");
  const Json& messages = first.state["messages"];
  ASSERT_EQ(messages.size(), 5u);  // every call has its answer: the conversation stays whole
  EXPECT_EQ(messages[2]["content"], "Error executing query: cancelled");
  EXPECT_EQ(messages[3]["content"], "Error: cancelled");
  EXPECT_EQ(messages[4]["status"], "error");
  EXPECT_EQ(model->requests.size(), 1u);  // no model call after the cancellation

  // The next turn, with a fresh signal, continues the same conversation.
  Json next = first.state;
  next["messages"].push_back({{"role", "user"}, {"content", "and now?"}});
  options.cancel = std::make_shared<base::CancelSignal>();
  RunResult second = agent.run(next, Json::object(), options);
  EXPECT_EQ(second.stop_reason, "done");
  EXPECT_EQ(second.answer, "second turn answer");
  ASSERT_EQ(model->requests.size(), 2u);
  EXPECT_EQ(model->requests[1].messages().size(), 6u);
}

// Streams a first piece, then waits for the signal.
class HangingModel : public ChatModel {
 public:
  ModelResponse invoke(const ModelRequest&, const std::vector<Tool>&) override { return ModelResponse("never"); }
  ModelResponse stream(const ModelRequest&, const std::vector<Tool>&, const ModelCallOptions& options) override {
    if (options.on_text) options.on_text("Partial ans");
    while (!base::is_cancelled(options.cancel)) std::this_thread::sleep_for(1ms);
    throw base::CancelledError();
  }
};

TEST(AgentRun, CtrlCDuringTheModelCallKeepsWhatWasShown) {
  Agent agent({}, std::make_shared<HangingModel>());
  auto cancel = std::make_shared<base::CancelSignal>();
  InvokeOptions options;
  options.cancel = cancel;
  options.on_event = [&](const AgentEvent& event) {
    if (event.kind == AgentEvent::Kind::kTextDelta) cancel->cancel();
  };
  RunResult result = agent.run(user("q"), Json::object(), options);
  EXPECT_EQ(result.stop_reason, "cancelled");
  ASSERT_EQ(result.state["messages"].size(), 2u);
  EXPECT_EQ(result.state["messages"][1]["content"], "Partial ans");
  EXPECT_TRUE(result.state["messages"][1]["tool_calls"].empty());
}

TEST(AgentRun, StepLimitStopsAModelThatNeverAnswers) {
  Tool echo("echo", "echo", {}, [](const Json&, const ToolRuntime&) { return "again"; });
  auto model = std::make_shared<QueueModel>(std::vector<ModelResponse>{ModelResponse("", {call("x", "echo")})});
  Agent agent({std::make_shared<ToolsOnly>(std::vector<Tool>{echo})}, model);
  InvokeOptions options;
  options.max_steps = 3;
  RunResult result = agent.run(user("loop"), Json::object(), options);
  EXPECT_EQ(result.stop_reason, "step_limit");
  EXPECT_EQ(result.steps, 3);
  EXPECT_EQ(model->requests.size(), 3u);
  EXPECT_EQ(result.state["messages"].back()["role"], "tool");
}

class FailingModel : public ChatModel {
 public:
  ModelResponse invoke(const ModelRequest&, const std::vector<Tool>&) override {
    throw base::RuntimeError("OpenAI API rejected the key (401 Unauthorized): check OPENAI_API_KEY");
  }
};

class FailingHook : public AgentMiddleware {
 public:
  std::string name() const override { return "FailingHook"; }
  StateUpdate before_agent(const Json&, const Runtime&) override { throw base::ValueError("hook broke"); }
};

TEST(AgentRun, FailuresEndTheRunWithTheirTextAndKeepTheState) {
  Agent agent({}, std::make_shared<FailingModel>());
  RunResult result = agent.run(user("q"), Json::object(), InvokeOptions{});
  EXPECT_EQ(result.stop_reason, "error");
  EXPECT_EQ(result.error, "OpenAI API rejected the key (401 Unauthorized): check OPENAI_API_KEY");
  EXPECT_EQ(result.state["messages"].size(), 1u);
  EXPECT_THROW(agent.invoke(user("q")), base::RuntimeError);  // invoke keeps letting errors through

  Agent hooked({std::make_shared<FailingHook>()}, std::make_shared<FailingModel>());
  RunResult hook = hooked.run(user("keep me"), Json::object(), InvokeOptions{});
  EXPECT_EQ(hook.stop_reason, "error");
  EXPECT_EQ(hook.error, "hook broke");
  EXPECT_EQ(hook.state["messages"][0]["content"], "keep me");

  Agent no_model({});
  EXPECT_EQ(no_model.run(user("q"), Json::object(), InvokeOptions{}).stop_reason, "error");
}

// Records what the tool-call chain hands on.
class Inspector : public AgentMiddleware {
 public:
  std::string name() const override { return "Inspector"; }
  ToolResult wrap_tool_call(const ToolCallRequest& request, const ToolHandler& handler) override {
    std::lock_guard<std::mutex> lock(mu);
    saw_cancel = request.cancel != nullptr;
    saw_usage = request.usage != nullptr;
    configurable = get_configurable();
    return handler(request);
  }
  ModelResponse wrap_model_call(const ModelRequest& request, const ModelHandler& handler) override {
    return handler(request.override_system_prompt(request.system_prompt_text() + "\n## Section"));
  }
  std::mutex mu;
  bool saw_cancel = false;
  bool saw_usage = false;
  Json configurable;
};

TEST(AgentRun, HooksWrapEveryCallWithTheRunsSignalMeterAndConfig) {
  auto inspector = std::make_shared<Inspector>();
  Tool probe("probe", "reports what it got", {}, [](const Json&, const ToolRuntime& runtime) {
    return std::string(runtime.cancel ? "cancel" : "none") + "," + (runtime.usage ? "usage" : "none");
  });
  auto model = std::make_shared<QueueModel>(
      std::vector<ModelResponse>{ModelResponse("", {call("p", "probe")}, ModelUsage{1, 1}), ModelResponse("done")});
  Agent agent({inspector, std::make_shared<ToolsOnly>(std::vector<Tool>{probe})}, model, "base");
  InvokeOptions options;
  options.cancel = std::make_shared<base::CancelSignal>();
  options.usage = std::make_shared<UsageMeter>();
  options.usage->add(ModelUsage{5, 5});  // an earlier turn's
  RunResult result = agent.run(user("q"), Json{{"configurable", {{"skill_ids", {"s"}}}}}, options);
  ASSERT_EQ(result.stop_reason, "done");
  EXPECT_EQ(result.state["messages"][2]["content"], "cancel,usage");
  EXPECT_TRUE(inspector->saw_cancel);
  EXPECT_TRUE(inspector->saw_usage);
  EXPECT_EQ(inspector->configurable["skill_ids"][0], "s");
  EXPECT_EQ(model->requests[0].system_prompt_text(), "base\n## Section");
  EXPECT_EQ(result.usage.input_tokens, 6);  // the meter's total
  EXPECT_EQ(options.usage->calls().size(), 3u);
}

// Refuses tool calls named "bad" by throwing from its hook; passes every other call on.
class PickyHook : public AgentMiddleware {
 public:
  std::string name() const override { return "PickyHook"; }
  ToolResult wrap_tool_call(const ToolCallRequest& request, const ToolHandler& handler) override {
    if (request.call.name == "bad") throw base::ValueError("hook refused");
    return handler(request);
  }
};

TEST(AgentRun, AThrowingToolHookEndsTheRunButEveryCallHasItsAnswer) {
  Tool echo("echo", "echo", {}, [](const Json&, const ToolRuntime&) { return "fine"; });
  Tool bad("bad", "never reached", {}, [](const Json&, const ToolRuntime&) { return "reached"; });
  auto model = std::make_shared<QueueModel>(
      std::vector<ModelResponse>{ModelResponse("", {call("b1", "bad"), call("e1", "echo")}), ModelResponse("no")});
  Agent agent({std::make_shared<PickyHook>(), std::make_shared<ToolsOnly>(std::vector<Tool>{echo, bad})}, model);
  std::mutex mu;
  std::vector<AgentEvent> ends;
  InvokeOptions options;
  options.on_event = [&](const AgentEvent& event) {
    std::lock_guard<std::mutex> lock(mu);
    if (event.kind == AgentEvent::Kind::kToolEnd) ends.push_back(event);
  };
  RunResult result = agent.run(user("q"), Json::object(), options);
  EXPECT_EQ(result.stop_reason, "error");
  EXPECT_EQ(result.error, "hook refused");
  const Json& messages = result.state["messages"];
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[2], (Json{{"role", "tool"},
                               {"tool_call_id", "b1"},
                               {"name", "bad"},
                               {"content", "Error: the tool call failed"},
                               {"status", "error"}}));
  EXPECT_EQ(messages[3]["content"], "fine");
  EXPECT_EQ(messages[3]["status"], "success");
  EXPECT_EQ(model->requests.size(), 1u);
  ASSERT_EQ(ends.size(), 2u);
  for (const auto& end : ends) {
    if (end.call.id != "b1") continue;
    EXPECT_EQ(end.status, ToolStatus::kError);
    EXPECT_EQ(end.result, "Error: the tool-call chain failed");
  }
}

// Throws what is not an exception class out of the model-call chain.
class OddHook : public AgentMiddleware {
 public:
  std::string name() const override { return "OddHook"; }
  ModelResponse wrap_model_call(const ModelRequest&, const ModelHandler&) override { throw 42; }
};

TEST(AgentRun, AHookThrowingAValueOfNoErrorClassEndsTheRunWithoutThrowing) {
  auto model = std::make_shared<QueueModel>(std::vector<ModelResponse>{ModelResponse("never")});
  Agent odd({std::make_shared<OddHook>()}, model);
  RunResult strange;
  ASSERT_NO_THROW(strange = odd.run(user("q"), Json::object(), InvokeOptions{}));
  EXPECT_EQ(strange.stop_reason, "error");
  EXPECT_EQ(strange.error, "unknown error (a hook or the model threw a value of no error class)");
  EXPECT_EQ(strange.state["messages"].size(), 1u);
  EXPECT_TRUE(model->requests.empty());
}

// Answers calls to "remember" with a state update instead of running the tool.
class Remember : public AgentMiddleware {
 public:
  Remember() {
    tools_.push_back(Tool("remember", "selects a connection", {{"id", "string", "", true}},
                          [](const Json&, const ToolRuntime&) { return "the tool itself ran"; }));
  }
  std::string name() const override { return "Remember"; }
  ToolResult wrap_tool_call(const ToolCallRequest& request, const ToolHandler& handler) override {
    if (request.call.name != "remember") return handler(request);
    return Command{{{"connection_id", request.call.args["id"]}, {"by", request.call.id}}};
  }
};

TEST(AgentRun, StateUpdatesFromToolCallsMergeInCallOrderAndAnswerTheCall) {
  auto model = std::make_shared<QueueModel>(std::vector<ModelResponse>{
      ModelResponse("", {call("r1", "remember", {{"id", "c1"}}), call("r2", "remember", {{"id", "c2"}})}),
      ModelResponse("switched")});
  Agent agent({std::make_shared<Remember>()}, model);
  std::mutex mu;
  std::vector<AgentEvent> ends;
  InvokeOptions options;
  options.max_parallel_tools = 2;
  options.on_event = [&](const AgentEvent& event) {
    std::lock_guard<std::mutex> lock(mu);
    if (event.kind == AgentEvent::Kind::kToolEnd) ends.push_back(event);
  };
  RunResult result = agent.run(user("use c2"), Json::object(), options);
  ASSERT_EQ(result.stop_reason, "done") << result.error;
  EXPECT_EQ(result.state["connection_id"], "c2");  // the later call wins
  EXPECT_EQ(result.state["by"], "r2");
  const Json& messages = result.state["messages"];
  ASSERT_EQ(messages.size(), 5u);
  EXPECT_EQ(messages[2]["content"], "State updated.");
  EXPECT_EQ(messages[2]["status"], "success");
  EXPECT_EQ(messages[3]["tool_call_id"], "r2");
  ASSERT_EQ(model->requests.size(), 2u);
  EXPECT_EQ(model->requests[1].state()["connection_id"], "c2");  // the next model call sees it
  ASSERT_EQ(ends.size(), 2u);
  for (const auto& end : ends) {
    EXPECT_EQ(end.status, ToolStatus::kSuccess);
    EXPECT_EQ(base::loads(end.result)["by"], end.call.id);
  }
}

TEST(AgentRun, AnAnswerWithoutToolCallsOnTheLastAllowedStepIsDone) {
  Tool echo("echo", "echo", {}, [](const Json&, const ToolRuntime&) { return "again"; });
  auto model = std::make_shared<QueueModel>(
      std::vector<ModelResponse>{ModelResponse("", {call("x", "echo")}), ModelResponse("final")});
  Agent agent({std::make_shared<ToolsOnly>(std::vector<Tool>{echo})}, model);
  InvokeOptions options;
  options.max_steps = 2;
  RunResult result = agent.run(user("q"), Json::object(), options);
  EXPECT_EQ(result.stop_reason, "done");
  EXPECT_EQ(result.steps, 2);
  EXPECT_EQ(result.answer, "final");

  options.max_steps = 0;  // no model call allowed at all
  RunResult none = agent.run(user("q"), Json::object(), options);
  EXPECT_EQ(none.stop_reason, "step_limit");
  EXPECT_EQ(none.steps, 0);
  EXPECT_EQ(none.state["messages"].size(), 1u);
  EXPECT_EQ(model->requests.size(), 2u);
}

TEST(AgentRun, DefaultStreamHandsTheWholeTextOnce) {
  class Plain : public ChatModel {
   public:
    ModelResponse invoke(const ModelRequest&, const std::vector<Tool>&) override { return ModelResponse("whole"); }
  } plain;
  std::vector<std::string> pieces;
  ModelCallOptions options;
  options.on_text = [&](std::string_view piece) { pieces.emplace_back(piece); };
  EXPECT_EQ(plain.stream(ModelRequest(), {}, options).text, "whole");
  EXPECT_EQ(pieces, (std::vector<std::string>{"whole"}));
  options.cancel = std::make_shared<base::CancelSignal>();
  options.cancel->cancel();
  EXPECT_THROW(plain.stream(ModelRequest(), {}, options), base::CancelledError);
}

}  // namespace
}  // namespace velko::host
