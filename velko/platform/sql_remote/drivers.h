// The engine layer's drivers for remote warehouses: "clickhousedb" (ClickHouse over
// HTTP), "databricks" (the SQL Statement Execution API), "snowflake" (the SQL API v2),
// "bigquery" (the BigQuery REST API v2) and "duckdb" (DuckDB files and folders of data
// files, and MotherDuck, when the build has DuckDB).
//
// register_remote_drivers() registers them with sql::register_driver(); it runs once per
// process (later calls do nothing) and is thread-safe. Nothing registers at load time:
// the warehouse look-up and the engine factories call it before they make an engine, and
// so must any other code that makes engines for these schemes. A scheme that already has
// a driver keeps it.
#pragma once

#include "velko/platform/sql_remote/bigquery_driver.h"
#include "velko/platform/sql_remote/clickhouse_driver.h"
#include "velko/platform/sql_remote/databricks_driver.h"
#include "velko/platform/sql_remote/duckdb_driver.h"
#include "velko/platform/sql_remote/snowflake_driver.h"

namespace velko::platform::sql_remote {

void register_remote_drivers();

}  // namespace velko::platform::sql_remote
