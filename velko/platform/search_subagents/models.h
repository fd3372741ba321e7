// Small language models per provider, for sub-agents that do not need the main model.
#pragma once

#include <string_view>

#include "velko/base/json.h"

namespace velko::platform::search_subagents {

// The small model of `provider` as {"provider": ..., "name": ...}, or null when the
// provider is unknown. Providers (compared without regard to case): "anthropic",
// "openai", "google".
Json get_small_model(std::string_view provider);

}  // namespace velko::platform::search_subagents
