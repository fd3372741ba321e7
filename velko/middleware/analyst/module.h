// Registers this module's factories: middleware "analyst" (DataAnalysisMiddleware).
#pragma once

#include "velko/host/registry.h"

namespace velko::middleware::analyst {
void register_module(host::Registry& registry);
}
