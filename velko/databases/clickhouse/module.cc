#include "velko/databases/clickhouse/module.h"

#include "velko/databases/clickhouse/clickhouse_engine.h"
#include "velko/databases/factory_support/engines.h"

namespace velko::databases::clickhouse {

void register_module(host::Registry& registry) {
  registry.add_operation("clickhouse.create_engine", [](const Json& args) {
    return factory_support::describe_engine(*create_clickhouse_engine(args));
  });
  registry.add_operation("clickhouse.engine_cache_info",
                         [](const Json&) { return factory_support::cache_info_json(engine_cache_info()); });
}

}  // namespace velko::databases::clickhouse
