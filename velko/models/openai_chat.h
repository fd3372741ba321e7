// A ChatModel over an OpenAI-compatible Chat Completions API: POST {base}/chat/completions
// with the conversation, the tools as "function" tools, and "stream": true; the answer's
// server-sent events carry text deltas and tool-call deltas (by index: the id and name in
// the first, the JSON arguments in pieces), the finish reason, and, with
// stream_options.include_usage, a last chunk with the usage. "data: [DONE]" ends it.
// OpenAI itself, Azure-style gateways, vLLM, Ollama, LM Studio and llama.cpp servers speak
// it; a server that ignores "stream" and answers one JSON object is read as well.
//
// The key goes in "Authorization: Bearer <key>" (no header when the key is empty). Errors
// and retries: see api_call.h; a stream that ends before its finish reason or [DONE]
// throws base::TransportError "... answer stream ended before it was complete".
// Tool-call arguments that are not a JSON object are handed on as the text they were, so
// the tool-call check answers the model with its error.
//
// Thread-safe: calls share nothing but the settings, fixed at construction.
#pragma once

#include "velko/base/json.h"
#include "velko/host/agent.h"
#include "velko/models/api_call.h"

namespace velko::models {

inline constexpr const char* DEFAULT_OPENAI_BASE_URL = "https://api.openai.com/v1";

class OpenAIChatModel : public host::ChatModel {
 public:
  explicit OpenAIChatModel(ClientSettings settings);

  host::ModelResponse invoke(const host::ModelRequest& request, const std::vector<host::Tool>& tools) override;
  host::ModelResponse stream(const host::ModelRequest& request, const std::vector<host::Tool>& tools,
                             const host::ModelCallOptions& options) override;

  const ClientSettings& settings() const { return settings_; }

  // The request body for `request` (exposed for tests).
  Json request_body(const host::ModelRequest& request, const std::vector<host::Tool>& tools) const;

 private:
  const ClientSettings settings_;
};

}  // namespace velko::models
