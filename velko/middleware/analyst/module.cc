#include "velko/middleware/analyst/module.h"

#include "velko/middleware/analyst/middleware.h"

namespace velko::middleware::analyst {

void register_module(host::Registry& registry) {
  registry.add_middleware("analyst", [](const host::MiddlewareContext& context) {
    return std::make_shared<DataAnalysisMiddleware>(context.backend, context.mode, context.cwd);
  });
}

}  // namespace velko::middleware::analyst
