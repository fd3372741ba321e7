// The model clients' pure parts: the event-stream reader, the request bodies of both APIs,
// model choice, retry-after, and error texts that never hold the key.
#include <gtest/gtest.h>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/models/anthropic_messages.h"
#include "velko/models/model_factory.h"
#include "velko/models/openai_chat.h"
#include "velko/models/sse.h"

namespace velko::models {
namespace {

ClientSettings settings_of(std::string model, std::string key, std::string base_url) {
  ClientSettings settings;
  settings.model = std::move(model);
  settings.api_key = std::move(key);
  settings.base_url = std::move(base_url);
  return settings;
}

std::vector<SseEvent> parse_in_pieces(const std::string& stream, size_t piece_size) {
  SseParser parser;
  std::vector<SseEvent> events;
  for (size_t pos = 0; pos < stream.size(); pos += piece_size) {
    parser.feed(std::string_view(stream).substr(pos, piece_size),
                [&](const SseEvent& event) { events.push_back(event); });
  }
  return events;
}

TEST(SseParser, EventsComeOutWhateverThePieces) {
  const std::string stream =
      ": a comment\r\nevent: message_start\r\ndata: {\"a\":1}\r\n\r\n"
      "data: line one\ndata: line two\nid: 7\n\n"
      "data:no-space\r\rdata: [DONE]\n\n"
      "event: lonely\n\n";  // no data: dropped
  for (size_t piece = 1; piece <= stream.size(); ++piece) {
    std::vector<SseEvent> events = parse_in_pieces(stream, piece);
    ASSERT_EQ(events.size(), 4u) << "piece size " << piece;
    EXPECT_EQ(events[0].event, "message_start");
    EXPECT_EQ(events[0].data, "{\"a\":1}");
    EXPECT_EQ(events[1].event, "");
    EXPECT_EQ(events[1].data, "line one\nline two");
    EXPECT_EQ(events[2].data, "no-space");
    EXPECT_EQ(events[3].data, "[DONE]");
  }
}

TEST(SseParser, MemoryIsBoundedAndUnfinishedEventsAreSeen) {
  SseParser parser(64);
  auto ignore = [](const SseEvent&) {};
  EXPECT_THROW(parser.feed(std::string(100, 'x'), ignore), base::ValueError);  // a line without end
  SseParser many(64);
  EXPECT_THROW(
      {
        for (int idx = 0; idx < 10; ++idx) many.feed("data: 0123456789\n", ignore);
      },
      base::ValueError);  // one event of many lines
  SseParser partial;
  partial.feed("data: half", ignore);
  EXPECT_TRUE(partial.has_pending());
}

host::ModelRequest conversation() {
  Json messages = Json::array();
  messages.push_back({{"role", "user"}, {"content", "How many orders?"}});
  messages.push_back({{"role", "assistant"},
                      {"content", ""},
                      {"tool_calls",
                       {{{"id", "c1"}, {"name", "list_tables_tool"}, {"args", {{"db_schema", "main"}}}},
                        {{"id", "c2"}, {"name", "list_schemas_tool"}, {"args", Json::object()}}}}});
  messages.push_back({{"role", "tool"},
                      {"tool_call_id", "c1"},
                      {"name", "list_tables_tool"},
                      {"content", "{\"tables\": []}"},
                      {"status", "success"}});
  messages.push_back({{"role", "tool"},
                      {"tool_call_id", "c2"},
                      {"name", "list_schemas_tool"},
                      {"content", "Error: no"},
                      {"status", "error"}});
  messages.push_back({{"role", "assistant"}, {"content", "None."}, {"tool_calls", Json::array()}});
  messages.push_back({{"role", "user"}, {"content", "Thanks"}});
  return host::ModelRequest(Json::object(), std::string("SYSTEM"), messages);
}

std::vector<host::Tool> one_tool() {
  return {host::Tool("list_tables_tool", "Lists tables", {{"db_schema", "string", "schema", true}},
                     [](const Json&, const host::ToolRuntime&) { return ""; })};
}

TEST(RequestBodies, OpenAIChatCompletions) {
  OpenAIChatModel model(settings_of("gpt-test", "sk-1", "http://h/v1"));
  Json body = model.request_body(conversation(), one_tool());
  EXPECT_EQ(body["model"], "gpt-test");
  EXPECT_EQ(body["stream"], true);
  EXPECT_EQ(body["stream_options"]["include_usage"], true);
  const Json& messages = body["messages"];
  ASSERT_EQ(messages.size(), 7u);
  EXPECT_EQ(messages[0], (Json{{"role", "system"}, {"content", "SYSTEM"}}));
  EXPECT_TRUE(messages[2]["content"].is_null());
  EXPECT_EQ(messages[2]["tool_calls"][0]["function"]["arguments"], "{\"db_schema\": \"main\"}");
  EXPECT_EQ(messages[2]["tool_calls"][1]["type"], "function");
  EXPECT_EQ(messages[3], (Json{{"role", "tool"}, {"tool_call_id", "c1"}, {"content", "{\"tables\": []}"}}));
  EXPECT_EQ(messages[5], (Json{{"role", "assistant"}, {"content", "None."}}));
  EXPECT_EQ(body["tools"][0]["function"]["name"], "list_tables_tool");
  EXPECT_EQ(body["tools"][0]["function"]["parameters"]["required"][0], "db_schema");
}

TEST(RequestBodies, AnthropicMessagesMergeToolResultsIntoOneUserTurn) {
  ClientSettings settings = settings_of("claude-test", "sk-ant", "http://h");
  settings.max_output_tokens = 1234;
  AnthropicChatModel model(settings);
  Json body = model.request_body(conversation(), one_tool());
  EXPECT_EQ(body["system"], "SYSTEM");
  EXPECT_EQ(body["max_tokens"], 1234);
  const Json& messages = body["messages"];
  ASSERT_EQ(messages.size(), 5u);
  EXPECT_EQ(messages[1]["role"], "assistant");
  ASSERT_EQ(messages[1]["content"].size(), 2u);  // no empty text block
  EXPECT_EQ(
      messages[1]["content"][0],
      (Json{{"type", "tool_use"}, {"id", "c1"}, {"name", "list_tables_tool"}, {"input", {{"db_schema", "main"}}}}));
  EXPECT_EQ(messages[2]["role"], "user");
  ASSERT_EQ(messages[2]["content"].size(), 2u);
  EXPECT_EQ(messages[2]["content"][0]["tool_use_id"], "c1");
  EXPECT_FALSE(messages[2]["content"][0].contains("is_error"));
  EXPECT_EQ(messages[2]["content"][1]["is_error"], true);
  EXPECT_EQ(messages[4]["content"][0]["text"], "Thanks");
  EXPECT_EQ(body["tools"][0]["input_schema"]["type"], "object");
}

// A conversation handed in from outside may carry a tool message whose status is neither
// text the runtime writes: it is refused instead of being sent as a success.
TEST(RequestBodies, AnthropicRefusesAnUnknownToolStatus) {
  AnthropicChatModel model(settings_of("claude-test", "sk-ant", "http://h"));
  host::ModelRequest request = conversation();
  Json messages = request.messages();
  messages[3]["status"] = "failed";
  try {
    model.request_body(host::ModelRequest(Json::object(), std::string("SYSTEM"), messages), one_tool());
    ADD_FAILURE() << "an unknown tool status was accepted";
  } catch (const base::ValueError& error) {
    EXPECT_STREQ(error.what(), "Unknown tool-message status 'failed' (use success or error)");
  }
  messages[3].erase("status");  // absent: the tool ran
  Json body = model.request_body(host::ModelRequest(Json::object(), std::string("SYSTEM"), messages), one_tool());
  EXPECT_FALSE(body["messages"][2]["content"][1].contains("is_error"));
}

TEST(ModelChoice, SpecsAndEnvironment) {
  EXPECT_EQ(parse_model_spec("OpenAI:gpt-4.1-mini").text(), "openai:gpt-4.1-mini");
  EXPECT_EQ(parse_model_spec("openai:org/model:tag").name, "org/model:tag");
  for (const char* bad : {"gpt-4", ":x", "openai:", "google:gemini"}) {
    EXPECT_THROW(parse_model_spec(bad), base::ValueError) << bad;
  }
  base::ScopedEnv model_env(MODEL_ENV, std::nullopt);
  EXPECT_THROW(choose_model_spec(std::nullopt), base::ValueError);
  base::ScopedEnv chosen(MODEL_ENV, "anthropic:claude-x");
  EXPECT_EQ(choose_model_spec(std::nullopt).provider, "anthropic");
  EXPECT_EQ(choose_model_spec(std::string("openai:o")).provider, "openai");

  base::ScopedEnv key("OPENAI_API_KEY", std::nullopt);
  base::ScopedEnv base_url("OPENAI_BASE_URL", std::nullopt);
  try {
    settings_from_environment(parse_model_spec("openai:m"));
    ADD_FAILURE() << "no key for api.openai.com must be refused";
  } catch (const base::ValueError& error) {
    EXPECT_NE(std::string(error.what()).find("OPENAI_API_KEY is not set"), std::string::npos);
  }
  base::ScopedEnv local("OPENAI_BASE_URL", "http://127.0.0.1:11434/v1/");
  ClientSettings settings = settings_from_environment(parse_model_spec("openai:llama3"));
  EXPECT_EQ(settings.base_url, "http://127.0.0.1:11434/v1");  // a local server may go without a key
  EXPECT_EQ(settings.api_key, "");

  base::ScopedEnv anthropic_key("ANTHROPIC_API_KEY", std::nullopt);
  EXPECT_THROW(make_chat_model(parse_model_spec("anthropic:c")), base::ValueError);
  base::ScopedEnv timeout(MODEL_TIMEOUT_ENV, "-3");
  EXPECT_THROW(settings_from_environment(parse_model_spec("openai:llama3")), base::ValueError);
  EXPECT_THROW(make_chat_model_from_descriptor(Json{{"provider", "google"}, {"name", "gemini"}}), base::ValueError);
  EXPECT_THROW(make_chat_model_from_descriptor(Json("openai:x")), base::ValueError);
}

TEST(ApiErrors, RetryAfterAndTextsWithoutTheKey) {
  base::HttpResponse response;
  response.headers = {{"Retry-After", "2"}};
  EXPECT_DOUBLE_EQ(retry_after_seconds(response), 2.0);
  response.headers = {{"retry-after-ms", "250"}, {"retry-after", "9"}};
  EXPECT_DOUBLE_EQ(retry_after_seconds(response), 0.25);
  response.headers = {{"Retry-After", "Wed, 21 Oct 2015 07:28:00 GMT"}};  // in the past
  EXPECT_DOUBLE_EQ(retry_after_seconds(response), 0.0);
  response.headers = {{"Retry-After", "soon"}};
  EXPECT_LT(retry_after_seconds(response), 0);
  response.headers = {};
  EXPECT_LT(retry_after_seconds(response), 0);

  ClientSettings settings = settings_of("gpt-x", "sk-secret-123", "https://user:pw@api.example/v1");
  settings.key_variable = "OPENAI_API_KEY";
  std::string echo = R"({"error": {"message": "Incorrect API key provided: sk-secret-123"}})";
  std::string unauthorized = describe_api_error(settings, "OpenAI", 401, "Unauthorized", echo, 1);
  EXPECT_EQ(unauthorized, "OpenAI API rejected the key (401 Unauthorized): check OPENAI_API_KEY");
  std::string bad = describe_api_error(settings, "OpenAI", 400, "Bad Request", echo, 1);
  EXPECT_EQ(bad, "OpenAI API refused the request (400 Bad Request): Incorrect API key provided: ***");
  std::string missing = describe_api_error(settings, "OpenAI", 404, "Not Found", "{}", 1);
  EXPECT_NE(missing.find("model 'gpt-x' at https://api.example/v1"), std::string::npos);
  EXPECT_EQ(missing.find("pw"), std::string::npos);
  std::string limited = describe_api_error(settings, "OpenAI", 429, "Too Many Requests", std::string(5000, 'z'), 4);
  EXPECT_NE(limited.find("after 4 attempts"), std::string::npos);
  EXPECT_LT(limited.size(), 420u);  // the quoted body is cut
  settings.api_key.clear();
  EXPECT_EQ(describe_api_error(settings, "OpenAI", 401, "Unauthorized", "", 1),
            "OpenAI API asks for a key (401 Unauthorized): set OPENAI_API_KEY");
}

}  // namespace
}  // namespace velko::models
