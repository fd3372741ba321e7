// Registers this module's operations:
//   "databricks.create_engine"      named arguments of create_databricks_engine as JSON;
//                                   answers describe_engine() of the cached engine
//   "databricks.engine_cache_info"  {"hits", "misses", "maxsize", "currsize"}
#pragma once

#include "velko/host/registry.h"

namespace velko::databases::databricks {
void register_module(host::Registry& registry);
}
