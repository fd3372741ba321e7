#include "velko/mcp/server.h"

#include <algorithm>
#include <istream>
#include <ostream>

#include "velko/base/errors.h"
#include "velko/base/json.h"
#include "velko/base/strings.h"

namespace velko::mcp {

const std::vector<std::string> SUPPORTED_PROTOCOL_VERSIONS = {LATEST_PROTOCOL_VERSION, "2025-06-18", "2025-03-26",
                                                              "2024-11-05", "2024-10-07"};

namespace {

// A JSON-RPC error thrown inside request handling and turned into an error response.
struct RpcError {
  int code;
  std::string message;
};

std::string error_line(const Json& id, int code, const std::string& message) {
  Json response = {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
  return base::dumps(response);
}

bool valid_id(const Json& id) { return id.is_string() || id.is_number_integer() || id.is_number_unsigned(); }

}  // namespace

bool is_error_text(std::string_view text) {
  if (text.starts_with("Error")) return true;
  std::string_view stripped = base::strip(text);
  if (!stripped.starts_with("{")) return false;
  try {
    Json parsed = base::loads(stripped);
    return parsed.is_object() && parsed.contains("error");
  } catch (const base::ValueError&) {
    return false;
  }
}

Server::Server(std::shared_ptr<const host::Agent> agent, ServerOptions options)
    : agent_(std::move(agent)), options_(std::move(options)) {}

std::optional<std::string> Server::handle_line(std::string_view line) {
  if (base::strip(line).empty()) return std::nullopt;
  Json message;
  try {
    message = base::loads(line);  // refuses deep nesting before building anything
  } catch (const base::ValueError&) {
    return error_line(nullptr, PARSE_ERROR, "Parse error");
  }
  if (!message.is_object()) return error_line(nullptr, INVALID_REQUEST, "Invalid Request");
  Json id = message.contains("id") ? message["id"] : Json();
  bool is_notification = !message.contains("id");
  if (message.value("jsonrpc", Json()) != "2.0") {
    return is_notification ? std::nullopt : std::optional(error_line(valid_id(id) ? id : Json(), INVALID_REQUEST,
                                                                     "Invalid Request: jsonrpc must be \"2.0\""));
  }
  if (!message.contains("method")) {
    // A response to something we sent, or garbage; neither gets an answer.
    if (message.contains("result") || message.contains("error")) return std::nullopt;
    return error_line(valid_id(id) ? id : Json(), INVALID_REQUEST, "Invalid Request: no method");
  }
  if (!message["method"].is_string()) {
    return error_line(valid_id(id) ? id : Json(), INVALID_REQUEST, "Invalid Request: method must be a string");
  }
  if (!is_notification && !valid_id(id)) {
    return error_line(nullptr, INVALID_REQUEST, "Invalid Request: id must be a string or an integer");
  }
  const std::string method = message["method"].get<std::string>();
  Json params = message.contains("params") ? message["params"] : Json::object();
  if (!params.is_object()) {
    return is_notification ? std::nullopt
                           : std::optional(error_line(id, INVALID_PARAMS, "Invalid params: params must be an object"));
  }
  if (is_notification) return std::nullopt;  // notifications/initialized, cancelled, ...
  try {
    Json result = handle_request(method, params, id);
    return base::dumps(Json{{"jsonrpc", "2.0"}, {"id", id}, {"result", result}});
  } catch (const RpcError& error) {
    return error_line(id, error.code, error.message);
  } catch (const std::exception& error) {
    return error_line(id, INTERNAL_ERROR, std::string("Internal error: ") + error.what());
  }
}

Json Server::handle_request(const std::string& method, const Json& params, const Json& id) {
  if (method == "initialize") return initialize(params);
  if (method == "ping") return Json::object();
  if (method == "tools/list") return list_tools();
  if (method == "tools/call") return call_tool(params, id);
  throw RpcError{METHOD_NOT_FOUND, "Method not found: " + method};
}

Json Server::initialize(const Json& params) {
  std::string version = LATEST_PROTOCOL_VERSION;
  auto requested = params.find("protocolVersion");
  if (requested != params.end() && requested->is_string() &&
      std::find(SUPPORTED_PROTOCOL_VERSIONS.begin(), SUPPORTED_PROTOCOL_VERSIONS.end(), requested->get<std::string>()) !=
          SUPPORTED_PROTOCOL_VERSIONS.end()) {
    version = requested->get<std::string>();
  }
  return {{"protocolVersion", version},
          {"capabilities", {{"tools", {{"listChanged", false}}}}},
          {"serverInfo", {{"name", options_.name}, {"version", options_.version}}},
          {"instructions", options_.instructions}};
}

Json Server::list_tools() const {
  Json tools = Json::array();
  for (const auto& tool : agent_->tools()) {
    tools.push_back({{"name", tool.name()}, {"description", tool.description()}, {"inputSchema", tool.input_schema()}});
  }
  return {{"tools", tools}};
}

Json Server::call_tool(const Json& params, const Json& id) {
  auto name = params.find("name");
  if (name == params.end() || !name->is_string()) throw RpcError{INVALID_PARAMS, "Invalid params: name is required"};
  const host::Tool* tool = agent_->find_tool(name->get<std::string>());
  if (tool == nullptr) throw RpcError{INVALID_PARAMS, "Unknown tool: " + name->get<std::string>()};
  Json arguments = params.contains("arguments") ? params["arguments"] : Json::object();
  if (arguments.is_null()) arguments = Json::object();
  try {
    tool->validate(arguments);
  } catch (const std::exception& error) {
    throw RpcError{INVALID_PARAMS, std::string("Invalid arguments for tool ") + tool->name() + ": " + error.what()};
  }
  std::string call_id = "mcp-" + (id.is_string() ? id.get<std::string>() : id.dump());
  host::ToolResult result =
      agent_->call_tool(host::ToolCallRequest{host::ToolCall{call_id, tool->name(), arguments}, options_.state,
                                              options_.config});
  std::string text;
  bool failed = false;
  if (const auto* message = std::get_if<host::ToolMessage>(&result)) {
    text = message->content;
    failed = message->status == "error" || is_error_text(text);
  } else {
    text = base::dumps(std::get<host::Command>(result).update);
  }
  return {{"content", Json::array({{{"type", "text"}, {"text", text}}})}, {"isError", failed}};
}

void Server::serve(std::istream& in, std::ostream& out) {
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (auto response = handle_line(line)) {
      out << *response << '\n';
      out.flush();
    }
  }
}

}  // namespace velko::mcp
