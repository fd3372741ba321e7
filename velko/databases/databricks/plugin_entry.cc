// The databricks plug-in: registers the Databricks engine factory.
#include "velko/databases/databricks/module.h"
#include "velko/host/plugin.h"

VELKO_PLUGIN(velko::databases::databricks::register_module)
