// Registers this module's backend "kubernetes" (see make_backend).
#pragma once

#include <memory>

#include "velko/base/json.h"
#include "velko/host/registry.h"

namespace velko::backends::kubernetes {

// A KubernetesBackend from JSON options, every key optional:
//   {"namespace": text or null, "timeout": integer seconds, "id": pod name, "cwd": text}
// Throws TypeError naming the option when a value has the wrong type, ValueError for an
// option it does not know or an options value that is not an object.
std::shared_ptr<host::BackendProtocol> make_backend(const Json& options);

void register_module(host::Registry& registry);

}  // namespace velko::backends::kubernetes
