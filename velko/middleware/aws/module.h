// Registers this module's factories: middleware "aws" (AWSMiddleware).
#pragma once

#include "velko/host/registry.h"

namespace velko::middleware::aws {
void register_module(host::Registry& registry);
}
