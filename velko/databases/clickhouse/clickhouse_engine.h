// create_clickhouse_engine: a cached engine for one ClickHouse database (HTTP interface).
//
//   auto engine = create_clickhouse_engine({.username = "analyst", .password = pw,
//                                           .host = "abc.clickhouse.cloud", .database = "sales"});
//
// The URL comes from db_utils::build_clickhouse_url with every argument as given
// (port "8443" and secure true unless set); the engine is created with pool_pre_ping and
// opens no connection. Engines are cached per distinct argument set (the 256 most
// recently used) for the life of the process; only successes are cached. Thread-safe.
#pragma once

#include <memory>
#include <string>

#include "velko/base/json.h"
#include "velko/databases/factory_support/engine_cache.h"
#include "velko/platform/sql/engine.h"

namespace velko::databases::clickhouse {

inline constexpr const char* CLICKHOUSE_REQUIRED_MESSAGE =
    "username, password, host, database are required for ClickHouse";
inline constexpr const char* DEFAULT_PORT = "8443";

struct ClickhouseEngineArgs {
  std::string username;
  std::string password;
  std::string host;
  std::string port = DEFAULT_PORT;  // text; takes no part in the emptiness check
  std::string database;
  bool secure = true;
};

// Throws ValueError CLICKHOUSE_REQUIRED_MESSAGE when username, password, host or
// database is empty; create_engine's errors otherwise.
std::shared_ptr<platform::sql::Engine> create_clickhouse_engine(const ClickhouseEngineArgs& args);

// The same from named arguments as JSON: "username", "password", "host", "database"
// required text; "port" text or integer (default "8443"); "secure" any value, taken by
// its truth (default true). TypeError naming the parameter for a missing or unknown
// argument or a value of the wrong type.
std::shared_ptr<platform::sql::Engine> create_clickhouse_engine(const Json& kwargs);

factory_support::CacheInfo engine_cache_info();
void clear_engine_cache();

}  // namespace velko::databases::clickhouse
