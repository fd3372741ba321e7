// Registers this module's operations: "scout.web_search", "scout.extract_content",
// "scout.quick_answer" and "scout.get_search_context" (see operations.h).
#pragma once

#include "velko/host/registry.h"

namespace velko::clients::scout {
void register_module(host::Registry& registry);
}
