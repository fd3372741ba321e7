#include "velko/databases/databricks/module.h"

#include "velko/databases/databricks/databricks_engine.h"
#include "velko/databases/factory_support/engines.h"

namespace velko::databases::databricks {

void register_module(host::Registry& registry) {
  registry.add_operation("databricks.create_engine", [](const Json& args) {
    return factory_support::describe_engine(*create_databricks_engine(args));
  });
  registry.add_operation("databricks.engine_cache_info",
                         [](const Json&) { return factory_support::cache_info_json(engine_cache_info()); });
}

}  // namespace velko::databases::databricks
