// The scout plug-in: registers the search operations "scout.*".
#include "velko/clients/scout/module.h"
#include "velko/host/plugin.h"

VELKO_PLUGIN(velko::clients::scout::register_module)
