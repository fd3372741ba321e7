// Local stand-ins for the two model APIs the agent speaks, for tests: an OpenAI-compatible
// Chat Completions endpoint (POST /v1/chat/completions) and the Anthropic Messages
// endpoint (POST /v1/messages), each answering a scripted conversation in the API's
// documented streaming format (server-sent events sent as separate HTTP chunks), and
// recording every request.
//
//   FakeModelApi api(FakeModelApi::Kind::kOpenAI);
//   api.script({"", {{"call_1", "list_tables_tool", {{"db_schema", "main"}}}}});
//   api.script({"There are 6 tables."});
//   ... OPENAI_BASE_URL=api.base_url() velko ask ...
//   api.request_bodies()[0]["messages"][0]["content"]   // the system prompt
//
// Each request takes the next scripted answer; with none left it gets a 500 error.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/http_test_server.h"
#include "velko/base/json.h"

namespace velko::test_support {

struct FakeToolCall {
  std::string id;
  std::string name;
  Json args = Json::object();
};

struct FakeTurn {
  FakeTurn(std::string answer = "", std::vector<FakeToolCall> tool_calls = {})
      : text(std::move(answer)), calls(std::move(tool_calls)) {}

  std::string text;
  std::vector<FakeToolCall> calls;
  long long input_tokens = 100;
  long long output_tokens = 20;
  // Pause between the events of the stream.
  std::chrono::milliseconds chunk_delay{0};
  // Break the connection after half of the events, as a server that went away.
  bool cut = false;
  // The model name to report (default: the request's).
  std::string model = "fake-model";
};

// The turn as its API streams it.
ScriptedResponse openai_stream(const FakeTurn& turn);
ScriptedResponse anthropic_stream(const FakeTurn& turn);
// An error answer in the API's error format.
ScriptedResponse openai_error(int status, const std::string& message,
                              const std::string& type = "invalid_request_error");
ScriptedResponse anthropic_error(int status, const std::string& message,
                                 const std::string& type = "invalid_request_error");

class FakeModelApi {
 public:
  enum class Kind { kOpenAI, kAnthropic };
  explicit FakeModelApi(Kind kind);

  // What OPENAI_BASE_URL / ANTHROPIC_BASE_URL should be set to.
  std::string base_url() const;
  // The endpoint's path.
  const std::string& path() const { return path_; }
  // Answers the next request with `turn`.
  void script(const FakeTurn& turn);
  // Answers the next request with `response` as it is (an error, say).
  void script_response(const ScriptedResponse& response);

  std::vector<RecordedRequest> requests() const { return server_.requests(); }
  // The JSON bodies of the requests (null for a body that is not JSON).
  std::vector<Json> request_bodies() const;
  // The system prompt of request `index` (OpenAI: the system message; Anthropic: "system").
  std::string system_prompt(size_t index) const;
  // The names of the tools offered in request `index`.
  std::vector<std::string> tool_names(size_t index) const;

 private:
  const Kind kind_;
  std::string path_;
  HttpTestServer server_;
};

}  // namespace velko::test_support
