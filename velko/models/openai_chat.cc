#include "velko/models/openai_chat.h"

#include <map>

#include "velko/base/strings.h"
#include "velko/models/sse.h"

namespace velko::models {
namespace {

constexpr const char* kProvider = "OpenAI";

struct PartialCall {
  std::string id;
  std::string name;
  std::string arguments;
};

// Tool-call arguments as the tools get them: the parsed object, {} for no text, or the
// text itself when it is not JSON (the tool-call check then answers the model).
Json parse_arguments(const std::string& text) {
  if (base::strip(text).empty()) return Json::object();
  try {
    return base::loads(text);
  } catch (const std::exception&) {
    return Json(text);
  }
}

// Reads the chunks of one answer.
class StreamReader {
 public:
  explicit StreamReader(const host::ModelCallOptions& options) : options_(options) {}

  void feed(std::string_view bytes) {
    if (!decided_) {
      size_t first = bytes.find_first_not_of(" \t\r\n");
      if (first == std::string_view::npos) return;
      whole_json_ = bytes[first] == '{';
      decided_ = true;
    }
    if (whole_json_) {
      body_.append(bytes);
      return;
    }
    parser_.feed(bytes, [this](const SseEvent& event) { on_event(event); });
  }

  host::ModelResponse finish() {
    if (whole_json_) {
      Json value;
      try {
        value = base::loads(body_);
      } catch (const std::exception&) {
        throw base::ValueError("OpenAI API returned a response that is neither JSON nor an event stream");
      }
      read_chunk(value, false);
    } else if (!done_ && finish_reason_.empty()) {
      throw base::TransportError("OpenAI API answer stream ended before it was complete");
    }
    host::ModelResponse response;
    response.text = text_;
    response.usage = usage_;
    for (auto& [index, partial] : calls_) {
      std::string id = partial.id.empty() ? "call_" + std::to_string(index) : partial.id;
      response.tool_calls.push_back(host::ToolCall{id, partial.name, parse_arguments(partial.arguments)});
    }
    return response;
  }

 private:
  void on_event(const SseEvent& event) {
    if (event.data == "[DONE]") {
      done_ = true;
      return;
    }
    Json chunk;
    try {
      chunk = base::loads(event.data);
    } catch (const std::exception&) {
      throw base::ValueError("OpenAI API sent an event that is not JSON");
    }
    read_chunk(chunk, true);
  }

  void add_text(const std::string& piece) {
    if (piece.empty()) return;
    text_ += piece;
    if (options_.on_text) options_.on_text(piece);
  }

  void read_calls(const Json& calls) {
    if (!calls.is_array()) return;
    for (size_t position = 0; position < calls.size(); ++position) {
      const Json& call = calls[position];
      if (!call.is_object()) continue;
      long long index = call.contains("index") && call["index"].is_number_integer() ? call["index"].get<long long>()
                                                                                    : static_cast<long long>(position);
      PartialCall& partial = calls_[index];
      if (call.contains("id") && call["id"].is_string()) partial.id = call["id"].get<std::string>();
      if (call.contains("function") && call["function"].is_object()) {
        const Json& function = call["function"];
        if (function.contains("name") && function["name"].is_string()) {
          partial.name += function["name"].get<std::string>();
        }
        if (function.contains("arguments")) {
          const Json& arguments = function["arguments"];
          partial.arguments += arguments.is_string() ? arguments.get<std::string>() : base::dumps(arguments);
        }
      }
    }
  }

  // One chunk of the stream (`delta` true) or the whole answer (a "message").
  void read_chunk(const Json& chunk, bool delta) {
    if (!chunk.is_object()) return;
    if (chunk.contains("error") && !chunk["error"].is_null()) {
      const Json& error = chunk["error"];
      std::string message = error.is_object() && error.contains("message") && error["message"].is_string()
                                ? error["message"].get<std::string>()
                                : base::dumps(error);
      throw ModelApiError("OpenAI API reported an error in its answer: " + base::shorten(message, 300), 0);
    }
    if (chunk.contains("usage") && chunk["usage"].is_object()) {
      const Json& usage = chunk["usage"];
      if (usage.contains("prompt_tokens") && usage["prompt_tokens"].is_number_integer()) {
        usage_.input_tokens = usage["prompt_tokens"].get<long long>();
      }
      if (usage.contains("completion_tokens") && usage["completion_tokens"].is_number_integer()) {
        usage_.output_tokens = usage["completion_tokens"].get<long long>();
      }
    }
    if (!chunk.contains("choices") || !chunk["choices"].is_array() || chunk["choices"].empty()) return;
    const Json& choice = chunk["choices"][0];
    if (!choice.is_object()) return;
    const char* part = delta ? "delta" : "message";
    if (choice.contains(part) && choice[part].is_object()) {
      const Json& message = choice[part];
      if (message.contains("content") && message["content"].is_string()) {
        add_text(message["content"].get<std::string>());
      }
      if (message.contains("tool_calls")) read_calls(message["tool_calls"]);
    }
    if (choice.contains("finish_reason") && choice["finish_reason"].is_string()) {
      finish_reason_ = choice["finish_reason"].get<std::string>();
    }
  }

  const host::ModelCallOptions& options_;
  SseParser parser_;
  bool decided_ = false;
  bool whole_json_ = false;
  std::string body_;
  bool done_ = false;
  std::string finish_reason_;
  std::string text_;
  std::map<long long, PartialCall> calls_;
  host::ModelUsage usage_;
};

}  // namespace

OpenAIChatModel::OpenAIChatModel(ClientSettings settings) : settings_(std::move(settings)) {}

Json OpenAIChatModel::request_body(const host::ModelRequest& request, const std::vector<host::Tool>& tools) const {
  Json messages = Json::array();
  std::string system = request.system_prompt_text();
  if (!system.empty()) messages.push_back({{"role", "system"}, {"content", system}});
  for (const Json& message : request.messages()) {
    if (!message.is_object()) continue;
    std::string role = message.value("role", "");
    std::string content = message.contains("content") && message["content"].is_string()
                              ? message["content"].get<std::string>()
                              : std::string();
    if (role == "user" || role == "system") {
      messages.push_back({{"role", role}, {"content", content}});
    } else if (role == "assistant") {
      Json out = {{"role", "assistant"}};
      Json calls = Json::array();
      if (message.contains("tool_calls") && message["tool_calls"].is_array()) {
        for (const Json& call : message["tool_calls"]) {
          Json args = call.contains("args") ? call["args"] : Json::object();
          calls.push_back({{"id", call.value("id", "")},
                           {"type", "function"},
                           {"function",
                            {{"name", call.value("name", "")},
                             {"arguments", args.is_string() ? args.get<std::string>() : base::dumps(args)}}}});
        }
      }
      if (content.empty() && !calls.empty()) {
        out["content"] = nullptr;
      } else {
        out["content"] = content;
      }
      if (!calls.empty()) out["tool_calls"] = calls;
      messages.push_back(out);
    } else if (role == "tool") {
      messages.push_back({{"role", "tool"}, {"tool_call_id", message.value("tool_call_id", "")}, {"content", content}});
    }
  }
  Json body = {{"model", settings_.model}, {"messages", messages}};
  if (!tools.empty()) {
    Json specs = Json::array();
    for (const auto& tool : tools) {
      specs.push_back(
          {{"type", "function"},
           {"function",
            {{"name", tool.name()}, {"description", tool.description()}, {"parameters", tool.input_schema()}}}});
    }
    body["tools"] = specs;
  }
  body["stream"] = true;
  body["stream_options"] = {{"include_usage", true}};
  return body;
}

host::ModelResponse OpenAIChatModel::invoke(const host::ModelRequest& request, const std::vector<host::Tool>& tools) {
  return stream(request, tools, host::ModelCallOptions{});
}

host::ModelResponse OpenAIChatModel::stream(const host::ModelRequest& request, const std::vector<host::Tool>& tools,
                                            const host::ModelCallOptions& options) {
  base::HttpHeaders headers = {{"Content-Type", "application/json"}, {"Accept", "text/event-stream"}};
  if (!settings_.api_key.empty()) headers.emplace_back("Authorization", "Bearer " + settings_.api_key);
  std::string body = base::dumps(request_body(request, tools));
  StreamReader reader(options);
  stream_model_call(settings_, kProvider, settings_.base_url + "/chat/completions", headers, body, options.cancel,
                    [&reader](std::string_view bytes) { reader.feed(bytes); });
  return reader.finish();
}

}  // namespace velko::models
