// The "duckdb" driver: DuckDB through libduckdb's C API, for three kinds of URL.
//
//   duckdb:////path/to/file.duckdb       the file, opened read-only
//   duckdb:////path/to/folder            an in-memory database in which every *.parquet,
//                                        *.csv and *.json file directly in the folder
//                                        (not links) is a view named after its stem
//   duckdb:///md:{database}?motherduck_token=...   MotherDuck (the md extension)
//
// No write and no escape: a call runs exactly one statement (duckdb_extract_statements)
// whose prepared type is SELECT, or EXPLAIN of a SELECT (EXPLAIN ANALYZE runs what it
// explains); COPY, ATTACH, INSTALL, LOAD, SET, PRAGMA, CALL, EXPORT and every write are
// refused before they run. Extensions are neither installed nor loaded at query time;
// files can be read only inside the connection's folder (the database file's folder),
// and the configuration is locked (enable_external_access off after the folder is
// allowed, lock_configuration on), so read_csv('/etc/passwd') is refused by DuckDB
// itself. MotherDuck connections install and load the md extension when they are
// opened (which needs network access to DuckDB's extension repository) and are locked
// the same way afterwards, local files included.
//
// Results are streamed and fetched only up to the row cap. The time limit and the
// caller's cancellation interrupt the statement (duckdb_interrupt) and throw
// base::TimeoutError ("timed out after N seconds") or base::CancelledError.
//
// Error texts are DuckDB's own, never the MotherDuck token. Builds without DuckDB keep
// the driver registered; connecting then fails with DUCKDB_NOT_IN_BUILD.
#pragma once

#include <memory>

#include "velko/platform/sql/driver.h"

namespace velko::platform::sql_remote {

inline constexpr const char* DUCKDB_NOT_IN_BUILD =
    "The DuckDB driver is not in this build: DuckDB and MotherDuck connections need velko built with the "
    "DuckDB library (libduckdb; scripts/setup.sh installs it, or set DUCKDB_ROOT)";

// Whether this build can open DuckDB connections.
bool duckdb_available();

// The DuckDB library's version ("v1.4.4"), or "" in a build without it.
const char* duckdb_version();

std::shared_ptr<sql::Driver> make_duckdb_driver();

}  // namespace velko::platform::sql_remote
