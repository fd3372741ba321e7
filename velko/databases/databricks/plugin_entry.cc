// The databricks plug-in: registers the Databricks engine factory.
#include "velko/host/plugin.h"
#include "velko/databases/databricks/module.h"

VELKO_PLUGIN(velko::databases::databricks::register_module)
