// create_motherduck_engine: a cached engine for one MotherDuck database.
//
//   auto engine = create_motherduck_engine({.token = token, .database = "analytics"});
//
// The URL comes from db_utils::build_motherduck_url; the engine is created with
// pool_pre_ping and opens no connection. Its connections are the DuckDB driver's
// (sql_remote/duckdb_driver.h): md:{database} with the token, locked against local files
// and further extensions; in a build without DuckDB, opening the first connection fails
// with sql_remote::DUCKDB_NOT_IN_BUILD. Engines are cached per
// distinct argument set (the 256 most recently used) for the life of the process; only
// successes are cached. Thread-safe.
#pragma once

#include <memory>
#include <string>

#include "velko/base/json.h"
#include "velko/databases/factory_support/engine_cache.h"
#include "velko/platform/sql/engine.h"

namespace velko::databases::motherduck {

inline constexpr const char* MOTHERDUCK_REQUIRED_MESSAGE = "token is required for Motherduck";

struct MotherduckEngineArgs {
  std::string token;
  std::string database;  // empty: the account's default database
};

// Throws ValueError MOTHERDUCK_REQUIRED_MESSAGE when token is empty; create_engine's
// errors otherwise.
std::shared_ptr<platform::sql::Engine> create_motherduck_engine(const MotherduckEngineArgs& args);

// The same from named arguments as JSON: "token" required text, "database" text
// (default ""). TypeError naming the parameter for a missing or unknown argument or a
// value of the wrong type.
std::shared_ptr<platform::sql::Engine> create_motherduck_engine(const Json& kwargs);

factory_support::CacheInfo engine_cache_info();
void clear_engine_cache();

}  // namespace velko::databases::motherduck
