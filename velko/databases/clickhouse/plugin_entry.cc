// The clickhouse plug-in: registers the ClickHouse engine factory.
#include "velko/host/plugin.h"
#include "velko/databases/clickhouse/module.h"

VELKO_PLUGIN(velko::databases::clickhouse::register_module)
