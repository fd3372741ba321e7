// The clickhouse plug-in: registers the ClickHouse engine factory.
#include "velko/databases/clickhouse/module.h"
#include "velko/host/plugin.h"

VELKO_PLUGIN(velko::databases::clickhouse::register_module)
