// A Model Context Protocol server over a line stream (stdio): JSON-RPC 2.0 messages, one
// per line, offering the agent's tools to any MCP client.
//
// initialize answers with the server's instructions (the system prompt the middlewares
// assemble), tools/list with each tool's name, description and input schema, tools/call
// runs the tool through the agent's tool-call chain and returns its text (isError when
// the text is an error text), ping with an empty result. Notifications get no answer.
// Malformed JSON, invalid requests, unknown methods and wrong arguments get JSON-RPC
// errors; nothing a client sends ends the server except the end of its input.
//
// One server serves one client; handle_line is not meant to be called concurrently.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "velko/host/agent.h"

namespace velko::mcp {

// The protocol revision this server speaks by default, and the ones it accepts.
inline constexpr const char* LATEST_PROTOCOL_VERSION = "2025-11-25";
extern const std::vector<std::string> SUPPORTED_PROTOCOL_VERSIONS;

// JSON-RPC error codes.
inline constexpr int PARSE_ERROR = -32700;
inline constexpr int INVALID_REQUEST = -32600;
inline constexpr int METHOD_NOT_FOUND = -32601;
inline constexpr int INVALID_PARAMS = -32602;
inline constexpr int INTERNAL_ERROR = -32603;

struct ServerOptions {
  std::string name = "velko";
  std::string version = "0.0.0";
  // The agent state tools see (after the before-agent hooks) and the run configuration.
  Json state = Json::object();
  Json config = Json::object();
  // The instructions sent with the initialize result.
  std::string instructions;
};

// True when a tool's text is an error text: it begins with "Error", or it is a JSON
// object with an "error" member.
bool is_error_text(std::string_view text);

class Server {
 public:
  Server(std::shared_ptr<const host::Agent> agent, ServerOptions options);

  // Handles one message. Returns the response line (no trailing newline), or nullopt
  // for a notification or a response from the client.
  std::optional<std::string> handle_line(std::string_view line);

  // Reads lines from `in` until it ends, writing each response and a newline to `out`
  // (flushed per message).
  void serve(std::istream& in, std::ostream& out);

 private:
  Json handle_request(const std::string& method, const Json& params, const Json& id);
  Json initialize(const Json& params);
  Json list_tools() const;
  Json call_tool(const Json& params, const Json& id);

  const std::shared_ptr<const host::Agent> agent_;
  const ServerOptions options_;
};

}  // namespace velko::mcp
