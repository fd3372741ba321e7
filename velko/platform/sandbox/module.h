// Registers this module's factories: backend "e2b" (E2BBackend over the sandbox service).
// Options, a JSON object (or null): "timeout" (integer seconds, 1 to 86400, default
// SANDBOX_TIMEOUT_SECONDS), "id" (text, the sandbox to use), "cwd" (text). Unknown
// options and wrong kinds are ValueError / TypeError.
#pragma once

#include <memory>

#include "velko/host/registry.h"

namespace velko::platform::sandbox {
std::shared_ptr<host::BackendProtocol> make_e2b_backend(const Json& options);
void register_module(host::Registry& registry);
}  // namespace velko::platform::sandbox
