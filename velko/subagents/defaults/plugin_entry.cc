// The defaults plug-in: registers the operation "subagents.defaults".
#include "velko/host/plugin.h"
#include "velko/subagents/defaults/module.h"

VELKO_PLUGIN(velko::subagents::defaults::register_module)
