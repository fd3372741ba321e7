// The "duckdb" driver (MotherDuck's "duckdb:///md:{database}?motherduck_token=..."
// URLs, and local DuckDB files).
//
// This build has no DuckDB library to open these connections with. The driver is still
// registered, so engines for these URLs are created as usual (and cached by the
// MotherDuck factory), and opening the first connection fails with DatabaseError
// DUCKDB_NOT_IN_BUILD, which names what is missing. duckdb_available() tells callers
// and tests which case holds.
#pragma once

#include <memory>

#include "velko/platform/sql/driver.h"

namespace velko::platform::sql_remote {

inline constexpr const char* DUCKDB_NOT_IN_BUILD =
    "The DuckDB driver is not in this build: MotherDuck and DuckDB connections need velko built with the "
    "DuckDB library (libduckdb)";

// Whether this build can open DuckDB connections.
bool duckdb_available();

std::shared_ptr<sql::Driver> make_duckdb_driver();

}  // namespace velko::platform::sql_remote
