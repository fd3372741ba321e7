#include "velko/middleware/aws/module.h"

#include "velko/middleware/aws/middleware.h"

namespace velko::middleware::aws {

void register_module(host::Registry& registry) {
  registry.add_middleware("aws", [](const host::MiddlewareContext&) { return std::make_shared<AWSMiddleware>(); });
}

}  // namespace velko::middleware::aws
