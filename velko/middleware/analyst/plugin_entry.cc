// The analyst plug-in: registers the data-analysis middleware.
#include "velko/host/plugin.h"
#include "velko/middleware/analyst/module.h"

VELKO_PLUGIN(velko::middleware::analyst::register_module)
