// create_databricks_engine: a cached engine for one Databricks SQL warehouse.
//
//   auto engine = create_databricks_engine({.host = "adb-1.azuredatabricks.net",
//                                           .http_path = "/sql/1.0/warehouses/abc123",
//                                           .token = token, .catalog = "main"});
//
// The URL comes from db_utils::build_databricks_url (catalog and schema left out when
// absent or empty); the engine is created with pool_pre_ping and opens no connection.
// Engines are cached per distinct argument set (the 256 most recently used) for the
// life of the process, so equal arguments share one pool; only successes are cached.
// Thread-safe.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "velko/base/json.h"
#include "velko/databases/factory_support/engine_cache.h"
#include "velko/platform/sql/engine.h"

namespace velko::databases::databricks {

inline constexpr const char* DATABRICKS_REQUIRED_MESSAGE =
    "host, http_path, and token are required for Databricks connection";

struct DatabricksEngineArgs {
  std::string host;
  std::string http_path;
  std::string token;
  std::optional<std::string> catalog;
  std::optional<std::string> schema;
};

// Throws ValueError DATABRICKS_REQUIRED_MESSAGE when host, http_path or token is empty;
// create_engine's errors otherwise.
std::shared_ptr<platform::sql::Engine> create_databricks_engine(const DatabricksEngineArgs& args);

// The same from named arguments as JSON: {"host", "http_path", "token"} required text,
// "catalog" and "schema" text or null. TypeError naming the parameter for a missing or
// unknown argument or a value of the wrong type.
std::shared_ptr<platform::sql::Engine> create_databricks_engine(const Json& kwargs);

factory_support::CacheInfo engine_cache_info();
void clear_engine_cache();

}  // namespace velko::databases::databricks
