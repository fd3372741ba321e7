#include "velko/models/model_factory.h"

#include <cctype>
#include <cmath>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/strings.h"
#include "velko/models/anthropic_messages.h"
#include "velko/models/openai_chat.h"

namespace velko::models {
namespace {

constexpr const char* kSupported = "openai, anthropic";

std::string env_or_empty(const char* name) { return base::getenv_opt(name).value_or(""); }

}  // namespace

ModelSpec parse_model_spec(std::string_view text) {
  std::string_view stripped = base::strip(text);
  size_t colon = stripped.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 == stripped.size()) {
    throw base::ValueError(
        "A model is written PROVIDER:NAME (for example openai:gpt-4.1-mini or "
        "anthropic:claude-sonnet-4-5)");
  }
  ModelSpec spec{base::ascii_lower(stripped.substr(0, colon)), std::string(stripped.substr(colon + 1))};
  if (spec.provider != "openai" && spec.provider != "anthropic") {
    throw base::ValueError("Unsupported model provider '" + spec.provider + "' (supported: " + kSupported + ")");
  }
  return spec;
}

ModelSpec choose_model_spec(const std::optional<std::string>& given) {
  if (given && !given->empty()) return parse_model_spec(*given);
  if (auto env = base::getenv_opt(MODEL_ENV); env && !env->empty()) return parse_model_spec(*env);
  throw base::ValueError(
      "No model chosen: pass --model PROVIDER:NAME or set VELKO_MODEL (for example "
      "openai:gpt-4.1-mini or anthropic:claude-sonnet-4-5)");
}

ClientSettings settings_from_environment(const ModelSpec& spec) {
  ClientSettings settings;
  settings.model = spec.name;
  if (auto timeout = base::getenv_opt(MODEL_TIMEOUT_ENV); timeout && !timeout->empty()) {
    double seconds = 0;
    try {
      seconds = std::stod(*timeout);
    } catch (const std::exception&) {
      seconds = 0;
    }
    if (!(seconds > 0) || !std::isfinite(seconds)) {
      throw base::ValueError(std::string(MODEL_TIMEOUT_ENV) + " must be a positive number of seconds");
    }
    settings.timeout_seconds = seconds;
  }
  if (spec.provider == "openai") {
    settings.key_variable = "OPENAI_API_KEY";
    settings.api_key = env_or_empty("OPENAI_API_KEY");
    settings.base_url = base::service_base_url(std::nullopt, "OPENAI_BASE_URL", DEFAULT_OPENAI_BASE_URL);
    if (settings.api_key.empty() && settings.base_url == DEFAULT_OPENAI_BASE_URL) {
      throw base::ValueError("OPENAI_API_KEY is not set (it is needed for " + std::string(DEFAULT_OPENAI_BASE_URL) +
                             "; a local server set in OPENAI_BASE_URL may go without)");
    }
  } else if (spec.provider == "anthropic") {
    settings.key_variable = "ANTHROPIC_API_KEY";
    settings.api_key = env_or_empty("ANTHROPIC_API_KEY");
    settings.base_url = base::service_base_url(std::nullopt, "ANTHROPIC_BASE_URL", DEFAULT_ANTHROPIC_BASE_URL);
    if (settings.api_key.empty()) throw base::ValueError("ANTHROPIC_API_KEY is not set");
  } else {
    throw base::ValueError("Unsupported model provider '" + spec.provider + "' (supported: " + kSupported + ")");
  }
  return settings;
}

std::shared_ptr<host::ChatModel> make_chat_model(const ModelSpec& spec) {
  ClientSettings settings = settings_from_environment(spec);
  if (spec.provider == "anthropic") return std::make_shared<AnthropicChatModel>(std::move(settings));
  return std::make_shared<OpenAIChatModel>(std::move(settings));
}

std::shared_ptr<host::ChatModel> make_chat_model_from_descriptor(const Json& descriptor) {
  if (!descriptor.is_object() || !descriptor.contains("provider") || !descriptor["provider"].is_string() ||
      !descriptor.contains("name") || !descriptor["name"].is_string()) {
    throw base::ValueError("A sub-agent's model must be {\"provider\": ..., \"name\": ...}");
  }
  return make_chat_model(
      parse_model_spec(descriptor["provider"].get<std::string>() + ":" + descriptor["name"].get<std::string>()));
}

}  // namespace velko::models
