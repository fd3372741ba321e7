// Registers this module's operation "subagents.defaults" (see defaults.h).
#pragma once

#include "velko/host/registry.h"

namespace velko::subagents::defaults {
void register_module(host::Registry& registry);
}
