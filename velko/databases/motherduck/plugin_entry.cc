// The motherduck plug-in: registers the MotherDuck engine factory.
#include "velko/databases/motherduck/module.h"
#include "velko/host/plugin.h"

VELKO_PLUGIN(velko::databases::motherduck::register_module)
