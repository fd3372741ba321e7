// Registers this module's operations:
//   "clickhouse.create_engine"      named arguments of create_clickhouse_engine as JSON;
//                                   answers describe_engine() of the cached engine
//   "clickhouse.engine_cache_info"  {"hits", "misses", "maxsize", "currsize"}
#pragma once

#include "velko/host/registry.h"

namespace velko::databases::clickhouse {
void register_module(host::Registry& registry);
}
