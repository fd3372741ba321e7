// Registers this module's factories: middleware "skills" (SkillsMiddleware).
#pragma once

#include "velko/host/registry.h"

namespace velko::middleware::skills {
void register_module(host::Registry& registry);
}
