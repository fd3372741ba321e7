#include "velko/middleware/airflow/module.h"

#include "velko/middleware/airflow/middleware.h"

namespace velko::middleware::airflow {

void register_module(host::Registry& registry) {
  registry.add_middleware("airflow",
                          [](const host::MiddlewareContext&) { return std::make_shared<AirflowMiddleware>(); });
}

}  // namespace velko::middleware::airflow
