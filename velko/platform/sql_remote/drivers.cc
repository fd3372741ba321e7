#include "velko/platform/sql_remote/drivers.h"

#include <mutex>

namespace velko::platform::sql_remote {
namespace {

void register_if_absent(const std::string& scheme, const std::shared_ptr<sql::Driver>& driver) {
  if (!sql::find_driver(scheme)) sql::register_driver(scheme, driver);
}

}  // namespace

void register_remote_drivers() {
  static std::once_flag once;
  std::call_once(once, [] {
    register_if_absent("clickhousedb", make_clickhouse_driver());
    register_if_absent("databricks", make_databricks_driver());
    register_if_absent("duckdb", make_duckdb_driver());
    register_if_absent("snowflake", make_snowflake_driver());
    register_if_absent("bigquery", make_bigquery_driver());
  });
}

}  // namespace velko::platform::sql_remote
