// The aws plug-in: registers the middleware "aws".
#include "velko/host/plugin.h"
#include "velko/middleware/aws/module.h"

VELKO_PLUGIN(velko::middleware::aws::register_module)
