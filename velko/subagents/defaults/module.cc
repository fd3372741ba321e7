#include "velko/subagents/defaults/module.h"

#include "velko/subagents/defaults/defaults.h"

namespace velko::subagents::defaults {

void register_module(host::Registry& registry) {
  registry.add_operation("subagents.defaults", &get_default_subagents_operation);
}

}  // namespace velko::subagents::defaults
