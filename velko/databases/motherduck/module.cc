#include "velko/databases/motherduck/module.h"

#include "velko/databases/common/engines.h"
#include "velko/databases/motherduck/motherduck_engine.h"

namespace velko::databases::motherduck {

void register_module(host::Registry& registry) {
  registry.add_operation("motherduck.create_engine",
                         [](const Json& args) { return common::describe_engine(*create_motherduck_engine(args)); });
  registry.add_operation("motherduck.engine_cache_info",
                         [](const Json&) { return common::cache_info_json(engine_cache_info()); });
}

}  // namespace velko::databases::motherduck
