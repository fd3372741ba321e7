// The airflow plug-in: registers the middleware "airflow".
#include "velko/host/plugin.h"
#include "velko/middleware/airflow/module.h"

VELKO_PLUGIN(velko::middleware::airflow::register_module)
