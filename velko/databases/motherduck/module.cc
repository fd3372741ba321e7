#include "velko/databases/motherduck/module.h"

#include "velko/databases/factory_support/engines.h"
#include "velko/databases/motherduck/motherduck_engine.h"

namespace velko::databases::motherduck {

void register_module(host::Registry& registry) {
  registry.add_operation("motherduck.create_engine", [](const Json& args) {
    return factory_support::describe_engine(*create_motherduck_engine(args));
  });
  registry.add_operation("motherduck.engine_cache_info",
                         [](const Json&) { return factory_support::cache_info_json(engine_cache_info()); });
}

}  // namespace velko::databases::motherduck
