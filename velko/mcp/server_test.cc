#include "velko/mcp/server.h"

#include <gtest/gtest.h>

#include <sstream>

#include "velko/base/json.h"

namespace velko::mcp {
namespace {

class EchoMiddleware : public host::AgentMiddleware {
 public:
  EchoMiddleware() {
    tools_.push_back(host::Tool("echo", "Echo the text back.", {{"text", "string", "What to echo", true}},
                                [](const Json& args, const host::ToolRuntime& runtime) {
                                  std::string text = args["text"].get<std::string>();
                                  if (text == "throw") throw std::runtime_error("boom");
                                  return text + "|" + runtime.tool_call_id + "|" +
                                         runtime.state.value("connection_id", "");
                                }));
  }
  std::string name() const override { return "Echo"; }
};

class McpServerTest : public ::testing::Test {
 protected:
  McpServerTest()
      : server_(std::make_shared<host::Agent>(std::vector<std::shared_ptr<host::AgentMiddleware>>{
                    std::make_shared<EchoMiddleware>()}),
                ServerOptions{"velko", "1.2.3", {{"connection_id", "demo"}}, Json::object(), "the prompt"}) {}
  Json send(const Json& message) { return Json::parse(*server_.handle_line(base::dumps(message))); }
  Json request(const std::string& method, const Json& params = Json::object(), int id = 1) {
    return send({{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}});
  }
  Server server_;
};

TEST_F(McpServerTest, InitializeNegotiatesVersionAndSendsInstructions) {
  Json result = request("initialize", {{"protocolVersion", "2025-06-18"}, {"capabilities", Json::object()},
                                       {"clientInfo", {{"name", "t"}, {"version", "1"}}}})["result"];
  EXPECT_EQ(result["protocolVersion"], "2025-06-18");
  EXPECT_EQ(result["instructions"], "the prompt");
  EXPECT_EQ(result["serverInfo"]["version"], "1.2.3");
  EXPECT_TRUE(result["capabilities"].contains("tools"));
  EXPECT_EQ(request("initialize", {{"protocolVersion", "1999-01-01"}})["result"]["protocolVersion"],
            LATEST_PROTOCOL_VERSION);
}

TEST_F(McpServerTest, ListsAndCallsToolsThroughTheChain) {
  Json tools = request("tools/list")["result"]["tools"];
  ASSERT_EQ(tools.size(), 1u);
  EXPECT_EQ(tools[0]["name"], "echo");
  EXPECT_EQ(tools[0]["inputSchema"]["required"], Json::array({"text"}));

  Json ok = request("tools/call", {{"name", "echo"}, {"arguments", {{"text", "hi"}}}}, 7)["result"];
  EXPECT_EQ(ok["content"][0]["text"], "hi|mcp-7|demo");
  EXPECT_EQ(ok["isError"], false);
  Json error_text = request("tools/call", {{"name", "echo"}, {"arguments", {{"text", "Error: nope"}}}})["result"];
  EXPECT_EQ(error_text["isError"], true);
  Json thrown = request("tools/call", {{"name", "echo"}, {"arguments", {{"text", "throw"}}}})["result"];
  EXPECT_EQ(thrown["isError"], true);
  EXPECT_EQ(thrown["content"][0]["text"], "Error: boom");
}

TEST_F(McpServerTest, ProtocolErrorsNeverCrash) {
  struct Case {
    std::string line;
    int code;
  };
  const Case cases[] = {
      {"{not json", PARSE_ERROR},
      {"[1, 2]", INVALID_REQUEST},
      {R"({"jsonrpc": "1.0", "id": 1, "method": "ping"})", INVALID_REQUEST},
      {R"({"jsonrpc": "2.0", "id": 1})", INVALID_REQUEST},
      {R"({"jsonrpc": "2.0", "id": 1, "method": 5})", INVALID_REQUEST},
      {R"({"jsonrpc": "2.0", "id": {"x": 1}, "method": "ping"})", INVALID_REQUEST},
      {R"({"jsonrpc": "2.0", "id": 1, "method": "resources/list"})", METHOD_NOT_FOUND},
      {R"({"jsonrpc": "2.0", "id": 1, "method": "tools/call", "params": []})", INVALID_PARAMS},
      {R"({"jsonrpc": "2.0", "id": 1, "method": "tools/call", "params": {"name": "missing"}})", INVALID_PARAMS},
      {R"({"jsonrpc": "2.0", "id": 1, "method": "tools/call", "params": {"name": "echo", "arguments": {}}})",
       INVALID_PARAMS},
      {R"({"jsonrpc": "2.0", "id": 1, "method": "tools/call", "params": {"name": "echo", "arguments": {"text": 3}}})",
       INVALID_PARAMS},
  };
  for (const auto& c : cases) {
    auto response = server_.handle_line(c.line);
    ASSERT_TRUE(response.has_value()) << c.line;
    EXPECT_EQ(Json::parse(*response)["error"]["code"], c.code) << c.line;
  }
  EXPECT_EQ(request("ping", Json::object(), 9), (Json{{"jsonrpc", "2.0"}, {"id", 9}, {"result", Json::object()}}));
}

TEST_F(McpServerTest, NotificationsAndBlankLinesGetNoAnswer) {
  EXPECT_FALSE(server_.handle_line(R"({"jsonrpc": "2.0", "method": "notifications/initialized"})").has_value());
  EXPECT_FALSE(server_.handle_line(R"({"jsonrpc": "2.0", "method": "tools/call"})").has_value());
  EXPECT_FALSE(server_.handle_line("   ").has_value());
  EXPECT_FALSE(server_.handle_line(R"({"jsonrpc": "2.0", "id": 3, "result": {}})").has_value());
}

TEST_F(McpServerTest, ServeAnswersLineByLineUntilInputEnds) {
  std::istringstream in(
      "{\"jsonrpc\": \"2.0\", \"id\": 1, \"method\": \"ping\"}\r\n"
      "{\"jsonrpc\": \"2.0\", \"method\": \"notifications/initialized\"}\n"
      "garbage\n"
      "{\"jsonrpc\": \"2.0\", \"id\": \"b\", \"method\": \"ping\"}");
  std::ostringstream out;
  server_.serve(in, out);
  EXPECT_EQ(out.str(),
            "{\"jsonrpc\": \"2.0\", \"id\": 1, \"result\": {}}\n"
            "{\"jsonrpc\": \"2.0\", \"id\": null, \"error\": {\"code\": -32700, \"message\": \"Parse error\"}}\n"
            "{\"jsonrpc\": \"2.0\", \"id\": \"b\", \"result\": {}}\n");
}

TEST(IsErrorText, RecognisesErrorPrefixesAndChartErrors) {
  EXPECT_TRUE(is_error_text("Error: No database connection configured"));
  EXPECT_TRUE(is_error_text("Error executing query: boom"));
  EXPECT_TRUE(is_error_text(R"({"charts": [], "error": "Missing tool_call_id"})"));
  EXPECT_FALSE(is_error_text(R"({"headers": ["error"], "rows": []})"));
  EXPECT_FALSE(is_error_text(R"({"charts": [{"path": "/a.png"}]})"));
  EXPECT_FALSE(is_error_text("{broken"));
}

}  // namespace
}  // namespace velko::mcp
