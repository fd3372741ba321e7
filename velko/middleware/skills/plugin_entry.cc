// The skills plug-in: registers the middleware "skills".
#include "velko/host/plugin.h"
#include "velko/middleware/skills/module.h"

VELKO_PLUGIN(velko::middleware::skills::register_module)
