#include "tests/support/fake_model_api.h"

namespace velko::test_support {
namespace {

// Splits `text` into up to three pieces at spaces, so a stream carries several deltas.
std::vector<std::string> pieces_of(const std::string& text) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (int cut = 1; cut <= 2; ++cut) {
    size_t at = text.find(' ', start + text.size() / 3);
    if (at == std::string::npos || at + 1 >= text.size()) break;
    pieces.push_back(text.substr(start, at + 1 - start));
    start = at + 1;
  }
  if (start < text.size()) pieces.push_back(text.substr(start));
  return pieces;
}

ScriptedResponse finish(std::vector<std::string> events, const FakeTurn& turn) {
  if (turn.cut) events.resize(std::max<size_t>(events.size() / 2, 1));
  ScriptedResponse response = ScriptedResponse::stream(std::move(events));
  response.chunk_delay = turn.chunk_delay;
  response.cut = turn.cut;
  return response;
}

}  // namespace

ScriptedResponse openai_stream(const FakeTurn& turn) {
  auto chunk = [&turn](Json delta, Json finish_reason) {
    Json body = {{"id", "chatcmpl-fake"},
                 {"object", "chat.completion.chunk"},
                 {"created", 1700000000},
                 {"model", turn.model},
                 {"choices", Json::array({{{"index", 0}, {"delta", delta}, {"finish_reason", finish_reason}}})}};
    return "data: " + base::dumps(body) + "\n\n";
  };
  std::vector<std::string> events;
  events.push_back(chunk({{"role", "assistant"}, {"content", ""}}, nullptr));
  for (const auto& piece : pieces_of(turn.text)) events.push_back(chunk({{"content", piece}}, nullptr));
  for (size_t index = 0; index < turn.calls.size(); ++index) {
    const FakeToolCall& call = turn.calls[index];
    events.push_back(chunk({{"tool_calls", Json::array({{{"index", index},
                                                         {"id", call.id},
                                                         {"type", "function"},
                                                         {"function", {{"name", call.name}, {"arguments", ""}}}}})}},
                           nullptr));
    std::string arguments = base::dumps(call.args);
    size_t half = arguments.size() / 2;
    for (const std::string& part : {arguments.substr(0, half), arguments.substr(half)}) {
      events.push_back(
          chunk({{"tool_calls", Json::array({{{"index", index}, {"function", {{"arguments", part}}}}})}}, nullptr));
    }
  }
  events.push_back(chunk(Json::object(), turn.calls.empty() ? "stop" : "tool_calls"));
  Json usage = {{"id", "chatcmpl-fake"},
                {"object", "chat.completion.chunk"},
                {"created", 1700000000},
                {"model", turn.model},
                {"choices", Json::array()},
                {"usage",
                 {{"prompt_tokens", turn.input_tokens},
                  {"completion_tokens", turn.output_tokens},
                  {"total_tokens", turn.input_tokens + turn.output_tokens}}}};
  events.push_back("data: " + base::dumps(usage) + "\n\n");
  events.push_back("data: [DONE]\n\n");
  return finish(std::move(events), turn);
}

ScriptedResponse anthropic_stream(const FakeTurn& turn) {
  auto event = [](const std::string& name, const Json& data) {
    return "event: " + name + "\ndata: " + base::dumps(data) + "\n\n";
  };
  std::vector<std::string> events;
  events.push_back(
      event("message_start", {{"type", "message_start"},
                              {"message",
                               {{"id", "msg_fake"},
                                {"type", "message"},
                                {"role", "assistant"},
                                {"content", Json::array()},
                                {"model", turn.model},
                                {"stop_reason", nullptr},
                                {"stop_sequence", nullptr},
                                {"usage", {{"input_tokens", turn.input_tokens}, {"output_tokens", 1}}}}}}));
  int index = 0;
  if (!turn.text.empty()) {
    events.push_back(event(
        "content_block_start",
        {{"type", "content_block_start"}, {"index", index}, {"content_block", {{"type", "text"}, {"text", ""}}}}));
    events.push_back(event("ping", {{"type", "ping"}}));
    for (const auto& piece : pieces_of(turn.text)) {
      events.push_back(event(
          "content_block_delta",
          {{"type", "content_block_delta"}, {"index", index}, {"delta", {{"type", "text_delta"}, {"text", piece}}}}));
    }
    events.push_back(event("content_block_stop", {{"type", "content_block_stop"}, {"index", index}}));
    ++index;
  }
  for (const auto& call : turn.calls) {
    events.push_back(event(
        "content_block_start",
        {{"type", "content_block_start"},
         {"index", index},
         {"content_block", {{"type", "tool_use"}, {"id", call.id}, {"name", call.name}, {"input", Json::object()}}}}));
    std::string arguments = base::dumps(call.args);
    size_t half = arguments.size() / 2;
    for (const std::string& part : {arguments.substr(0, half), arguments.substr(half)}) {
      events.push_back(
          event("content_block_delta", {{"type", "content_block_delta"},
                                        {"index", index},
                                        {"delta", {{"type", "input_json_delta"}, {"partial_json", part}}}}));
    }
    events.push_back(event("content_block_stop", {{"type", "content_block_stop"}, {"index", index}}));
    ++index;
  }
  events.push_back(
      event("message_delta",
            {{"type", "message_delta"},
             {"delta", {{"stop_reason", turn.calls.empty() ? "end_turn" : "tool_use"}, {"stop_sequence", nullptr}}},
             {"usage", {{"output_tokens", turn.output_tokens}}}}));
  events.push_back(event("message_stop", {{"type", "message_stop"}}));
  return finish(std::move(events), turn);
}

ScriptedResponse openai_error(int status, const std::string& message, const std::string& type) {
  return ScriptedResponse::json(
      base::dumps(Json{{"error", {{"message", message}, {"type", type}, {"param", nullptr}, {"code", nullptr}}}}),
      status);
}

ScriptedResponse anthropic_error(int status, const std::string& message, const std::string& type) {
  return ScriptedResponse::json(base::dumps(Json{{"type", "error"}, {"error", {{"type", type}, {"message", message}}}}),
                                status);
}

FakeModelApi::FakeModelApi(Kind kind)
    : kind_(kind), path_(kind == Kind::kOpenAI ? "/v1/chat/completions" : "/v1/messages") {
  server_.respond("POST", path_,
                  kind == Kind::kOpenAI ? openai_error(500, "no scripted answer left", "server_error")
                                        : anthropic_error(500, "no scripted answer left", "api_error"));
}

std::string FakeModelApi::base_url() const { return kind_ == Kind::kOpenAI ? server_.url() + "/v1" : server_.url(); }

void FakeModelApi::script(const FakeTurn& turn) {
  server_.enqueue("POST", path_, kind_ == Kind::kOpenAI ? openai_stream(turn) : anthropic_stream(turn));
}

void FakeModelApi::script_response(const ScriptedResponse& response) { server_.enqueue("POST", path_, response); }

std::vector<Json> FakeModelApi::request_bodies() const {
  std::vector<Json> bodies;
  for (const auto& request : server_.requests()) {
    try {
      bodies.push_back(base::loads(request.body));
    } catch (const std::exception&) {
      bodies.push_back(nullptr);
    }
  }
  return bodies;
}

std::string FakeModelApi::system_prompt(size_t index) const {
  std::vector<Json> bodies = request_bodies();
  if (index >= bodies.size() || !bodies[index].is_object()) return "";
  const Json& body = bodies[index];
  if (kind_ == Kind::kAnthropic) return body.value("system", "");
  for (const auto& message : body.value("messages", Json::array())) {
    if (message.value("role", "") == "system") return message.value("content", "");
  }
  return "";
}

std::vector<std::string> FakeModelApi::tool_names(size_t index) const {
  std::vector<Json> bodies = request_bodies();
  std::vector<std::string> names;
  if (index >= bodies.size() || !bodies[index].is_object()) return names;
  for (const auto& tool : bodies[index].value("tools", Json::array())) {
    names.push_back(kind_ == Kind::kOpenAI ? tool["function"].value("name", "") : tool.value("name", ""));
  }
  return names;
}

}  // namespace velko::test_support
