// The motherduck plug-in: registers the MotherDuck engine factory.
#include "velko/host/plugin.h"
#include "velko/databases/motherduck/module.h"

VELKO_PLUGIN(velko::databases::motherduck::register_module)
