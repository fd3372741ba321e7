// A ChatModel over the Anthropic Messages API: POST {base}/v1/messages with "x-api-key",
// "anthropic-version: 2023-06-01", the system prompt in "system", the conversation as
// user/assistant messages whose content blocks are text, tool_use (the model's calls) and
// tool_result (the tools' answers, sent in the next user message), the tools with their
// input_schema, and "stream": true. The answer's server-sent events: message_start (input
// tokens), content_block_start / content_block_delta (text_delta, input_json_delta) /
// content_block_stop, message_delta (stop reason, output tokens), message_stop; ping is
// skipped and an error event fails the call. A stream that ends before message_stop
// throws base::TransportError "... answer stream ended before it was complete".
//
// Errors and retries (529 overloaded included): see api_call.h.
// Thread-safe: calls share nothing but the settings, fixed at construction.
#pragma once

#include "velko/base/json.h"
#include "velko/host/agent.h"
#include "velko/models/api_call.h"

namespace velko::models {

inline constexpr const char* DEFAULT_ANTHROPIC_BASE_URL = "https://api.anthropic.com";
inline constexpr const char* ANTHROPIC_VERSION = "2023-06-01";

class AnthropicChatModel : public host::ChatModel {
 public:
  explicit AnthropicChatModel(ClientSettings settings);

  host::ModelResponse invoke(const host::ModelRequest& request, const std::vector<host::Tool>& tools) override;
  host::ModelResponse stream(const host::ModelRequest& request, const std::vector<host::Tool>& tools,
                             const host::ModelCallOptions& options) override;

  const ClientSettings& settings() const { return settings_; }

  // The request body for `request` (exposed for tests). Consecutive messages of one role
  // are merged, as the API wants turns to alternate. A tool message's "status" ("success"
  // when absent, or "error", which marks the tool_result is_error) is parsed here: any
  // other value throws ValueError, so the call fails before anything is sent.
  Json request_body(const host::ModelRequest& request, const std::vector<host::Tool>& tools) const;

 private:
  const ClientSettings settings_;
};

}  // namespace velko::models
