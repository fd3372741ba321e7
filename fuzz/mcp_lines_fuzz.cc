// libFuzzer target for the lines an MCP client sends (velko/mcp/server.h): one JSON-RPC
// message per line, handled by mcp::Server::handle_line.
//
// The whole input is one line (any bytes, line feeds included: the server is handed
// whatever its reader split off). The server offers two tools, "echo" (a required text
// and an optional integer and object) and "fail" (a body that throws). Invariants,
// besides surviving ASan/UBSan:
//   - handle_line never throws;
//   - an answer is one line of JSON text (no line feed) that reads back, within the
//     nesting bound, as an object with "jsonrpc": "2.0", an "id" and exactly one of
//     "result" and "error" (the latter with an integer "code" and a text "message");
//   - an input nested deeper than base::MAX_JSON_DEPTH is answered with a parse error.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "velko/base/json.h"
#include "velko/host/agent.h"
#include "velko/mcp/server.h"

namespace {

using velko::Json;

class FuzzMiddleware : public velko::host::AgentMiddleware {
 public:
  FuzzMiddleware() {
    tools_.push_back(velko::host::Tool(
        "echo", "Echo the arguments back.",
        {{"text", "string", "What to echo", true}, {"count", "integer", "", false}, {"extra", "object", "", false}},
        [](const Json& args, const velko::host::ToolRuntime& runtime) {
          return velko::base::dumps(args) + "|" + runtime.tool_call_id;
        }));
    tools_.push_back(velko::host::Tool(
        "fail", "Always throws.", {},
        [](const Json&, const velko::host::ToolRuntime&) -> std::string { throw std::runtime_error("boom"); }));
  }
  std::string name() const override { return "Fuzz"; }
};

velko::mcp::ServerOptions server_options() {
  velko::mcp::ServerOptions options;
  options.state = {{"connection_id", "fuzz"}};
  options.instructions = "instructions";
  return options;
}

velko::mcp::Server& server() {
  static velko::mcp::Server instance(
      std::make_shared<velko::host::Agent>(
          std::vector<std::shared_ptr<velko::host::AgentMiddleware>>{std::make_shared<FuzzMiddleware>()}),
      server_options());
  return instance;
}

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  std::optional<std::string> answer;
  try {
    answer = server().handle_line(line);
  } catch (...) {
    std::abort();  // nothing a client sends may escape the server
  }
  if (!answer) return 0;
  check(answer->find('\n') == std::string::npos);
  std::optional<Json> response = velko::base::try_loads(*answer);
  check(response.has_value() && response->is_object());
  check(response->value("jsonrpc", Json()) == "2.0" && response->contains("id"));
  check(response->contains("result") != response->contains("error"));
  if (response->contains("error")) {
    const Json& error = (*response)["error"];
    check(error.is_object() && error.contains("code") && error["code"].is_number_integer() &&
          error.contains("message") && error["message"].is_string());
  }
  if (!velko::base::json_depth_within(line)) {
    check(response->contains("error") && (*response)["error"]["code"] == velko::mcp::PARSE_ERROR);
  }
  return 0;
}
