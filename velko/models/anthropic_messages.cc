#include "velko/models/anthropic_messages.h"

#include <map>

#include "velko/base/strings.h"
#include "velko/host/tool_status.h"
#include "velko/models/sse.h"

namespace velko::models {
namespace {

constexpr const char* kProvider = "Anthropic";

struct Block {
  std::string type;
  std::string id;
  std::string name;
  std::string json;
};

long long integer_member(const Json& object, const char* name) {
  if (!object.is_object() || !object.contains(name) || !object[name].is_number_integer()) return 0;
  return object[name].get<long long>();
}

class StreamReader {
 public:
  explicit StreamReader(const host::ModelCallOptions& options) : options_(options) {}

  void feed(std::string_view bytes) {
    parser_.feed(bytes, [this](const SseEvent& event) { on_event(event); });
  }

  host::ModelResponse finish() {
    if (!stopped_) throw base::TransportError("Anthropic API answer stream ended before it was complete");
    host::ModelResponse response;
    response.text = text_;
    response.usage = usage_;
    for (auto& [index, block] : blocks_) {
      if (block.type != "tool_use") continue;
      Json input = Json::object();
      if (!base::strip(block.json).empty()) {
        try {
          input = base::loads(block.json);
        } catch (const std::exception&) {
          input = Json(block.json);  // the tool-call check answers the model
        }
      }
      response.tool_calls.push_back(host::ToolCall{block.id, block.name, input});
    }
    return response;
  }

 private:
  void on_event(const SseEvent& event) {
    Json data;
    try {
      data = base::loads(event.data);
    } catch (const std::exception&) {
      throw base::ValueError("Anthropic API sent an event that is not JSON");
    }
    std::string type = event.event;
    if (type.empty() && data.is_object()) type = data.value("type", "");
    if (type == "message_start") {
      const Json& usage =
          data.contains("message") && data["message"].is_object() ? data["message"].value("usage", Json()) : Json();
      usage_.input_tokens = integer_member(usage, "input_tokens") + integer_member(usage, "cache_read_input_tokens") +
                            integer_member(usage, "cache_creation_input_tokens");
      usage_.output_tokens = integer_member(usage, "output_tokens");
    } else if (type == "content_block_start") {
      long long index = integer_member(data, "index");
      const Json& start = data.value("content_block", Json::object());
      Block& block = blocks_[index];
      block.type = start.value("type", "");
      block.id = start.value("id", "");
      block.name = start.value("name", "");
      if (block.type == "text" && start.contains("text") && start["text"].is_string()) {
        add_text(start["text"].get<std::string>());
      }
    } else if (type == "content_block_delta") {
      long long index = integer_member(data, "index");
      const Json& delta = data.value("delta", Json::object());
      std::string kind = delta.value("type", "");
      if (kind == "text_delta" && delta.contains("text") && delta["text"].is_string()) {
        add_text(delta["text"].get<std::string>());
      } else if (kind == "input_json_delta" && delta.contains("partial_json") && delta["partial_json"].is_string()) {
        blocks_[index].json += delta["partial_json"].get<std::string>();
      }
    } else if (type == "message_delta") {
      const Json& usage = data.value("usage", Json::object());
      if (usage.contains("output_tokens")) usage_.output_tokens = integer_member(usage, "output_tokens");
      if (usage.contains("input_tokens")) usage_.input_tokens = integer_member(usage, "input_tokens");
    } else if (type == "message_stop") {
      stopped_ = true;
    } else if (type == "error") {
      const Json& error = data.value("error", Json::object());
      std::string message = error.is_object() ? error.value("message", "") : "";
      std::string kind = error.is_object() ? error.value("type", "") : "";
      throw ModelApiError("Anthropic API reported an error in its answer" + (kind.empty() ? "" : " (" + kind + ")") +
                              (message.empty() ? "" : ": " + base::shorten(message, 300)),
                          kind == "overloaded_error" ? 529 : 0);
    }
  }

  void add_text(const std::string& piece) {
    if (piece.empty()) return;
    text_ += piece;
    if (options_.on_text) options_.on_text(piece);
  }

  const host::ModelCallOptions& options_;
  SseParser parser_;
  bool stopped_ = false;
  std::string text_;
  std::map<long long, Block> blocks_;
  host::ModelUsage usage_;
};

std::string text_of(const Json& message) {
  return message.contains("content") && message["content"].is_string() ? message["content"].get<std::string>()
                                                                       : std::string();
}

}  // namespace

AnthropicChatModel::AnthropicChatModel(ClientSettings settings) : settings_(std::move(settings)) {}

Json AnthropicChatModel::request_body(const host::ModelRequest& request, const std::vector<host::Tool>& tools) const {
  Json messages = Json::array();
  auto append = [&messages](const std::string& role, Json blocks) {
    if (blocks.empty()) return;
    if (!messages.empty() && messages.back()["role"] == role) {
      for (auto& block : blocks) messages.back()["content"].push_back(std::move(block));
    } else {
      messages.push_back({{"role", role}, {"content", std::move(blocks)}});
    }
  };
  for (const Json& message : request.messages()) {
    if (!message.is_object()) continue;
    std::string role = message.value("role", "");
    std::string content = text_of(message);
    if (role == "user") {
      if (!content.empty()) append("user", Json::array({{{"type", "text"}, {"text", content}}}));
    } else if (role == "assistant") {
      Json blocks = Json::array();
      if (!content.empty()) blocks.push_back({{"type", "text"}, {"text", content}});
      if (message.contains("tool_calls") && message["tool_calls"].is_array()) {
        for (const Json& call : message["tool_calls"]) {
          Json input = call.contains("args") && call["args"].is_object() ? call["args"] : Json::object();
          blocks.push_back(
              {{"type", "tool_use"}, {"id", call.value("id", "")}, {"name", call.value("name", "")}, {"input", input}});
        }
      }
      append("assistant", std::move(blocks));
    } else if (role == "tool") {
      Json result = {{"type", "tool_result"}, {"tool_use_id", message.value("tool_call_id", "")}, {"content", content}};
      // A conversation may come from outside: a status other than the two is refused here.
      if (host::parse_tool_status(message.value("status", "success")) == host::ToolStatus::kError) {
        result["is_error"] = true;
      }
      append("user", Json::array({result}));
    }
  }
  Json body = {{"model", settings_.model}, {"max_tokens", settings_.max_output_tokens}};
  std::string system = request.system_prompt_text();
  if (!system.empty()) body["system"] = system;
  body["messages"] = messages;
  if (!tools.empty()) {
    Json specs = Json::array();
    for (const auto& tool : tools) {
      specs.push_back(
          {{"name", tool.name()}, {"description", tool.description()}, {"input_schema", tool.input_schema()}});
    }
    body["tools"] = specs;
  }
  body["stream"] = true;
  return body;
}

host::ModelResponse AnthropicChatModel::invoke(const host::ModelRequest& request,
                                               const std::vector<host::Tool>& tools) {
  return stream(request, tools, host::ModelCallOptions{});
}

host::ModelResponse AnthropicChatModel::stream(const host::ModelRequest& request, const std::vector<host::Tool>& tools,
                                               const host::ModelCallOptions& options) {
  base::HttpHeaders headers = {
      {"Content-Type", "application/json"}, {"Accept", "text/event-stream"}, {"anthropic-version", ANTHROPIC_VERSION}};
  if (!settings_.api_key.empty()) headers.emplace_back("x-api-key", settings_.api_key);
  std::string body = base::dumps(request_body(request, tools));
  StreamReader reader(options);
  stream_model_call(settings_, kProvider, settings_.base_url + "/v1/messages", headers, body, options.cancel,
                    [&reader](std::string_view bytes) { reader.feed(bytes); });
  return reader.finish();
}

}  // namespace velko::models
