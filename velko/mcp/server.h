// A Model Context Protocol server offering the agent's tools, its skills and its system
// prompt to any MCP client: JSON-RPC 2.0 messages, one per line over stdio (serve), or
// over Streamable HTTP (http_transport.h).
//
// initialize answers with the server's instructions (the system prompt the middlewares
// assemble), tools/list with each tool's name, description and input schema, tools/call
// runs the tool through the agent's tool-call chain and returns its text (isError when
// the text is an error text; structuredContent when the text is a JSON object; the chart
// images of a generate_charts result as image items), prompts/list and prompts/get offer
// each discovered skill as a prompt whose message is its SKILL.md, ping answers with an
// empty result. Malformed JSON (also JSON nested deeper than base::MAX_JSON_DEPTH),
// invalid requests, unknown methods and wrong arguments get JSON-RPC errors; nothing a
// client sends ends the server except the end of its input.
//
// A Server holds only values fixed at construction: its const methods may be called from
// several threads at once. Concurrency, cancellation and progress live in Session
// (session.h); serve() runs one Session over a stream pair.
#pragma once

#include <cstddef>
#include <filesystem>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velko/base/cancel.h"
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

// Chart images attached to one generate_charts result: at most this many, of at most
// this many bytes together (before base64).
inline constexpr size_t MAX_CHART_IMAGES = 4;
inline constexpr size_t MAX_CHART_IMAGE_BYTES = 5u << 20;
// A SKILL.md larger than this is not offered as a prompt body (the skills' own bound).
inline constexpr size_t MAX_PROMPT_FILE_BYTES = 10u << 20;

// What one client session sees: the agent state tools get (after the before-agent
// hooks), the run configuration, and the instructions sent with the initialize result.
struct SessionConfig {
  Json state = Json::object();
  Json config = Json::object();
  std::string instructions;
};

struct ServerOptions {
  std::string name = "velko";
  std::string version = "0.0.0";
  // The session of handle_line and serve (see SessionConfig).
  Json state = Json::object();
  Json config = Json::object();
  std::string instructions;
  // Worker threads that run tool calls in serve(); as many more calls may wait queued.
  size_t workers = 4;
  // The storage root web-mode chart keys are read from (nullopt: the default root).
  std::optional<std::filesystem::path> storage_root;
};

// One line from a client, classified.
struct Incoming {
  enum class Kind {
    kNone,          // nothing to do: a blank line, a response from the client, a bad notification
    kError,         // answer with error_response at once
    kRequest,       // method, params, id set
    kNotification,  // method, params set
  };
  Kind kind = Kind::kNone;
  Json id;
  std::string method;
  Json params = Json::object();
  std::string error_response;
};

// What a request's handler may use while it runs. Null members mean "not offered".
struct CallContext {
  base::CancelSignalPtr cancel;
};

// True when a tool's text is an error text: it begins with "Error", or it is a JSON
// object with an "error" member.
bool is_error_text(std::string_view text);

// The JSON-RPC error response line for `id` (null when the id is unknown).
std::string error_response(const Json& id, int code, const std::string& message);

// The response line for a line longer than MAX_LINE_BYTES (id null: it was not read).
std::string line_too_long_response(size_t length);

class Server {
 public:
  Server(std::shared_ptr<const host::Agent> agent, ServerOptions options);

  // Handles one message synchronously, in the session of the options. Returns the
  // response line (no trailing newline), or nullopt for a notification or a response
  // from the client. Thread-safe.
  std::optional<std::string> handle_line(std::string_view line) const;

  // Reads lines from `in` (in bounded chunks: a line over MAX_LINE_BYTES gets an error
  // response and is skipped) until it ends, handing each to one Session whose tool calls
  // run on options().workers threads; responses and notifications go to `out` whole, one
  // per line, flushed per message, in the order they complete. At the end of the input
  // every call still in flight is cancelled, and serve returns once the last has ended.
  void serve(std::istream& in, std::ostream& out) const;

  // Parses and checks one line (through base::loads: deep nesting is refused before
  // anything is built).
  static Incoming parse(std::string_view line);
  // Requests that go to the worker pool; the others are answered on the reading thread.
  static bool runs_on_pool(const std::string& method) { return method == "tools/call"; }

  // The response line (a result or a JSON-RPC error) for a request of kind kRequest.
  // Never throws.
  std::string respond(const Incoming& request, const SessionConfig& session, const CallContext& context) const;

  // The session of the options.
  SessionConfig default_session() const;
  const ServerOptions& options() const { return options_; }

 private:
  Json handle_request(const Incoming& request, const SessionConfig& session, const CallContext& context) const;
  Json initialize(const Json& params, const SessionConfig& session) const;
  Json list_tools() const;
  Json call_tool(const Json& params, const Json& id, const SessionConfig& session, const CallContext& context) const;
  Json list_prompts(const SessionConfig& session) const;
  Json get_prompt(const Json& params, const SessionConfig& session) const;

  const std::shared_ptr<const host::Agent> agent_;
  const ServerOptions options_;
};

}  // namespace velko::mcp
