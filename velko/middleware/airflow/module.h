// Registers this module's factories: middleware "airflow" (AirflowMiddleware).
#pragma once

#include "velko/host/registry.h"

namespace velko::middleware::airflow {
void register_module(host::Registry& registry);
}
