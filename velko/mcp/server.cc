#include "velko/mcp/server.h"

#include <algorithm>
#include <istream>
#include <ostream>

#include "velko/base/errors.h"
#include "velko/base/files.h"
#include "velko/base/json.h"
#include "velko/base/strings.h"
#include "velko/mcp/chart_images.h"
#include "velko/mcp/line_reader.h"
#include "velko/mcp/session.h"
#include "velko/mcp/worker_pool.h"

namespace velko::mcp {

const std::vector<std::string> SUPPORTED_PROTOCOL_VERSIONS = {LATEST_PROTOCOL_VERSION, "2025-06-18", "2025-03-26",
                                                              "2024-11-05", "2024-10-07"};

namespace {

// A JSON-RPC error thrown inside request handling and turned into an error response.
struct RpcError {
  int code;
  std::string message;
};

bool valid_id(const Json& id) { return id.is_string() || id.is_number_integer() || id.is_number_unsigned(); }

Incoming error_incoming(const Json& id, int code, const std::string& message) {
  Incoming incoming;
  incoming.kind = Incoming::Kind::kError;
  incoming.error_response = error_response(id, code, message);
  return incoming;
}

// The skills the before-agent hooks recorded in the state, by name (first one wins).
const Json* find_skill(const SessionConfig& session, const std::string& name) {
  auto skills = session.state.find("skills_metadata");
  if (skills == session.state.end() || !skills->is_array()) return nullptr;
  for (const Json& skill : *skills) {
    if (skill.is_object() && skill.value("name", Json()) == name) return &skill;
  }
  return nullptr;
}

}  // namespace

std::string error_response(const Json& id, int code, const std::string& message) {
  Json response = {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
  return base::dumps(response);
}

std::string line_too_long_response(size_t length) {
  return error_response(nullptr, INVALID_REQUEST,
                        "Invalid Request: a message of " + std::to_string(length) + " bytes is over the limit of " +
                            std::to_string(MAX_LINE_BYTES) + " bytes");
}

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

SessionConfig Server::default_session() const {
  return SessionConfig{options_.state, options_.config, options_.instructions};
}

Incoming Server::parse(std::string_view line) {
  if (base::strip(line).empty()) return {};
  Json message;
  try {
    message = base::loads(line);  // refuses deep nesting before building anything
  } catch (const base::ValueError&) {
    return error_incoming(nullptr, PARSE_ERROR, "Parse error");
  }
  if (!message.is_object()) return error_incoming(nullptr, INVALID_REQUEST, "Invalid Request");
  Json id = message.contains("id") ? message["id"] : Json();
  bool is_notification = !message.contains("id");
  if (message.value("jsonrpc", Json()) != "2.0") {
    if (is_notification) return {};
    return error_incoming(valid_id(id) ? id : Json(), INVALID_REQUEST, "Invalid Request: jsonrpc must be \"2.0\"");
  }
  if (!message.contains("method")) {
    // A response to something we sent, or garbage; neither gets an answer.
    if (message.contains("result") || message.contains("error")) return {};
    return error_incoming(valid_id(id) ? id : Json(), INVALID_REQUEST, "Invalid Request: no method");
  }
  if (!message["method"].is_string()) {
    return error_incoming(valid_id(id) ? id : Json(), INVALID_REQUEST, "Invalid Request: method must be a string");
  }
  if (!is_notification && !valid_id(id)) {
    return error_incoming(nullptr, INVALID_REQUEST, "Invalid Request: id must be a string or an integer");
  }
  Incoming incoming;
  incoming.method = message["method"].get<std::string>();
  incoming.params = message.contains("params") ? std::move(message["params"]) : Json::object();
  if (!incoming.params.is_object()) {
    if (is_notification) return {};
    return error_incoming(id, INVALID_PARAMS, "Invalid params: params must be an object");
  }
  incoming.kind = is_notification ? Incoming::Kind::kNotification : Incoming::Kind::kRequest;
  incoming.id = std::move(id);
  return incoming;
}

std::optional<std::string> Server::handle_line(std::string_view line) const {
  Incoming incoming = parse(line);
  switch (incoming.kind) {
    case Incoming::Kind::kError:
      return incoming.error_response;
    case Incoming::Kind::kRequest:
      return respond(incoming, default_session(), CallContext{});
    case Incoming::Kind::kNone:
    case Incoming::Kind::kNotification:  // notifications/initialized, cancelled (nothing runs here), ...
      break;
  }
  return std::nullopt;
}

std::string Server::respond(const Incoming& request, const SessionConfig& session, const CallContext& context) const {
  try {
    Json result = handle_request(request, session, context);
    return base::dumps(Json{{"jsonrpc", "2.0"}, {"id", request.id}, {"result", std::move(result)}});
  } catch (const RpcError& error) {
    return error_response(request.id, error.code, error.message);
  } catch (const std::exception& error) {
    return error_response(request.id, INTERNAL_ERROR, std::string("Internal error: ") + error.what());
  }
}

Json Server::handle_request(const Incoming& request, const SessionConfig& session, const CallContext& context) const {
  const std::string& method = request.method;
  if (method == "initialize") return initialize(request.params, session);
  if (method == "ping") return Json::object();
  if (method == "tools/list") return list_tools();
  if (method == "tools/call") return call_tool(request.params, request.id, session, context);
  if (method == "prompts/list") return list_prompts(session);
  if (method == "prompts/get") return get_prompt(request.params, session);
  throw RpcError{METHOD_NOT_FOUND, "Method not found: " + method};
}

Json Server::initialize(const Json& params, const SessionConfig& session) const {
  std::string version = LATEST_PROTOCOL_VERSION;
  auto requested = params.find("protocolVersion");
  if (requested != params.end() && requested->is_string() &&
      std::find(SUPPORTED_PROTOCOL_VERSIONS.begin(), SUPPORTED_PROTOCOL_VERSIONS.end(),
                requested->get<std::string>()) != SUPPORTED_PROTOCOL_VERSIONS.end()) {
    version = requested->get<std::string>();
  }
  return {{"protocolVersion", version},
          {"capabilities", {{"tools", {{"listChanged", false}}}, {"prompts", {{"listChanged", false}}}}},
          {"serverInfo", {{"name", options_.name}, {"version", options_.version}}},
          {"instructions", session.instructions}};
}

Json Server::list_tools() const {
  Json tools = Json::array();
  for (const auto& tool : agent_->tools()) {
    tools.push_back({{"name", tool.name()}, {"description", tool.description()}, {"inputSchema", tool.input_schema()}});
  }
  return {{"tools", tools}};
}

Json Server::call_tool(const Json& params, const Json& id, const SessionConfig& session,
                       const CallContext& context) const {
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
  host::ToolResult result = agent_->call_tool(host::ToolCallRequest{
      host::ToolCall{call_id, tool->name(), std::move(arguments)}, session.state, session.config, context.cancel});
  std::string text;
  bool failed = false;
  if (const auto* message = std::get_if<host::ToolMessage>(&result)) {
    text = message->content;
    failed = message->status == host::ToolStatus::kError || is_error_text(text);
  } else {
    text = base::dumps(std::get<host::Command>(result).update);
  }
  Json structured;
  if (base::strip(text).starts_with("{")) {
    try {
      structured = base::loads(text);
    } catch (const base::ValueError&) {
      structured = Json();
    }
  }
  Json content = Json::array({{{"type", "text"}, {"text", text}}});
  if (tool->name() == "generate_charts" && !failed) {
    for (Json& item : chart_image_content(text, options_.storage_root)) content.push_back(std::move(item));
  }
  Json answer = {{"content", std::move(content)}, {"isError", failed}};
  if (structured.is_object()) answer["structuredContent"] = std::move(structured);
  return answer;
}

Json Server::list_prompts(const SessionConfig& session) const {
  Json prompts = Json::array();
  std::vector<std::string> seen;
  auto skills = session.state.find("skills_metadata");
  if (skills != session.state.end() && skills->is_array()) {
    for (const Json& skill : *skills) {
      if (!skill.is_object() || !skill.contains("name") || !skill["name"].is_string()) continue;
      std::string name = skill["name"].get<std::string>();
      if (std::find(seen.begin(), seen.end(), name) != seen.end()) continue;  // a user skill hides a default one
      seen.push_back(name);
      Json prompt = {{"name", name}};
      if (skill.contains("description") && skill["description"].is_string()) {
        prompt["description"] = skill["description"];
      }
      prompts.push_back(std::move(prompt));
    }
  }
  return {{"prompts", prompts}};
}

Json Server::get_prompt(const Json& params, const SessionConfig& session) const {
  auto name = params.find("name");
  if (name == params.end() || !name->is_string()) throw RpcError{INVALID_PARAMS, "Invalid params: name is required"};
  const Json* skill = find_skill(session, name->get<std::string>());
  if (skill == nullptr || !skill->contains("path") || !(*skill)["path"].is_string()) {
    throw RpcError{INVALID_PARAMS, "Unknown prompt: " + name->get<std::string>()};
  }
  // A skill's record holds its SKILL.md (web mode: its copy's path on this machine).
  std::filesystem::path path((*skill)["path"].get<std::string>());
  if (path.filename() != "SKILL.md") path /= "SKILL.md";
  std::string body;
  std::error_code error;
  auto size = std::filesystem::file_size(path, error);
  if (error || !std::filesystem::is_regular_file(path, error)) {
    throw RpcError{INTERNAL_ERROR, "The SKILL.md of prompt " + name->get<std::string>() + " cannot be read"};
  }
  if (size > MAX_PROMPT_FILE_BYTES) {
    throw RpcError{INTERNAL_ERROR, "The SKILL.md of prompt " + name->get<std::string>() + " is too large"};
  }
  try {
    body = base::read_file(path);
  } catch (const std::exception&) {
    throw RpcError{INTERNAL_ERROR, "The SKILL.md of prompt " + name->get<std::string>() + " cannot be read"};
  }
  if (body.size() > MAX_PROMPT_FILE_BYTES) {
    throw RpcError{INTERNAL_ERROR, "The SKILL.md of prompt " + name->get<std::string>() + " is too large"};
  }
  Json answer = Json::object();
  if (skill->contains("description") && (*skill)["description"].is_string()) {
    answer["description"] = (*skill)["description"];
  }
  answer["messages"] = Json::array({{{"role", "user"}, {"content", {{"type", "text"}, {"text", body}}}}});
  return answer;
}

void Server::serve(std::istream& in, std::ostream& out) const {
  WorkerPool pool(options_.workers, options_.workers);
  auto outbox = std::make_shared<StreamOutbox>(out);
  Session session(*this, default_session(), pool);
  LineReader reader(in.rdbuf());
  while (auto line = reader.next()) {
    if (line->too_long) {
      outbox->send(line_too_long_response(line->length));
      continue;
    }
    session.receive(line->text, outbox);
  }
  session.close();
}

}  // namespace velko::mcp
