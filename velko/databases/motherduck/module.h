// Registers this module's operations:
//   "motherduck.create_engine"      named arguments of create_motherduck_engine as JSON;
//                                   answers describe_engine() of the cached engine
//   "motherduck.engine_cache_info"  {"hits", "misses", "maxsize", "currsize"}
#pragma once

#include "velko/host/registry.h"

namespace velko::databases::motherduck {
void register_module(host::Registry& registry);
}
