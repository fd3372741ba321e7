// Chooses and builds the chat model: "PROVIDER:NAME" (from --model or $VELKO_MODEL), with
// the provider's key and base URL from the environment.
//
//   auto model = make_chat_model(parse_model_spec("anthropic:claude-sonnet-4-5"));
//
// Providers:
//   openai     OPENAI_API_KEY, OPENAI_BASE_URL (default https://api.openai.com/v1). The key
//              may be left out only for another base URL (a local server).
//   anthropic  ANTHROPIC_API_KEY (required), ANTHROPIC_BASE_URL (default
//              https://api.anthropic.com).
// VELKO_MODEL_TIMEOUT (seconds, > 0) changes the time limit of one model call (default 300).
// Errors are ValueError with a text that names the variable to set, never its value.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "velko/base/json.h"
#include "velko/host/agent.h"
#include "velko/models/api_call.h"

namespace velko::models {

inline constexpr const char* MODEL_ENV = "VELKO_MODEL";
inline constexpr const char* MODEL_TIMEOUT_ENV = "VELKO_MODEL_TIMEOUT";

struct ModelSpec {
  std::string provider;  // lower case: "openai", "anthropic"
  std::string name;      // the API's model name

  std::string text() const { return provider + ":" + name; }
};

// "PROVIDER:NAME" -> spec. ValueError for text without a provider or a name, or for an
// unknown provider.
ModelSpec parse_model_spec(std::string_view text);

// The spec from `given` when set, else $VELKO_MODEL. ValueError when neither is set
// ("no model chosen: pass --model PROVIDER:NAME or set VELKO_MODEL ...").
ModelSpec choose_model_spec(const std::optional<std::string>& given);

// The client settings for `spec` from the environment (see the top of this file).
ClientSettings settings_from_environment(const ModelSpec& spec);

// The model for `spec` with settings_from_environment.
std::shared_ptr<host::ChatModel> make_chat_model(const ModelSpec& spec);

// The model a sub-agent names: {"provider": ..., "name": ...} (what get_small_model
// gives). ValueError for anything else or an unsupported provider.
std::shared_ptr<host::ChatModel> make_chat_model_from_descriptor(const Json& descriptor);

}  // namespace velko::models
