// The engine provider and schema inspection the data-analysis tools stand on.
//
// get_db_engine resolves a connection identifier to its DatabaseConfig (the local
// configuration store in "cli" mode, the hosted service's back end otherwise), builds
// the connection URL and returns the engine for it. Engines are cached per URL for the
// life of the process (the 256 most recently used), so repeated calls share one pool.
// Besides PostgreSQL and SQLite, the remote warehouses' drivers (ClickHouse, Databricks,
// MotherDuck) serve their URLs. Every function is thread-safe. Error texts name the identifier, never a secret.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velko/base/cancel.h"
#include "velko/base/json.h"
#include "velko/platform/db_utils/database_config.h"
#include "velko/platform/sql/engine.h"

namespace velko::platform::warehouse {

inline constexpr size_t ENGINE_CACHE_SIZE = 256;

// The engine for `connection_id`. In "cli" mode an absent or empty identifier means the
// store's default connection. Throws ValueError "Connection '{id}' not found" (or "No
// default database connection configured", or "No database connection id given" outside
// cli mode) when there is no configuration; ModuleNotFoundError when the hosted back end
// is not available; the URL builder's errors (KeyError naming a missing key, ValueError
// "Unsupported connection type: ..."); ModuleNotFoundError when no driver serves the
// URL. Opens no connection: a wrong password or an unreachable host shows at first use.
std::shared_ptr<sql::Engine> get_db_engine(const std::optional<std::string>& connection_id,
                                           const std::string& mode = "web");

// The engine for a DatabaseConfig already looked up (so a caller that needs the
// configuration too reads it once): the same cache, the same errors as above from the
// URL builder and the driver look-up.
std::shared_ptr<sql::Engine> get_db_engine_for_config(const db_utils::DatabaseConfig& config);

// The DatabaseConfig behind `connection_id`, resolved as get_db_engine does (same errors,
// and TypeError "config must be a mapping" for a stored value that is not one).
db_utils::DatabaseConfig get_db_config(const std::optional<std::string>& connection_id,
                                       const std::string& mode = "web");

// The time limit of one query: $VELKO_QUERY_TIMEOUT when set (the process's override),
// else the config's "query_timeout", else DEFAULT_QUERY_TIMEOUT. Either is seconds, a
// number or its text, above 0 and at most MAX_QUERY_TIMEOUT; anything else throws
// ValueError naming where the value came from.
inline constexpr std::chrono::seconds DEFAULT_QUERY_TIMEOUT{120};
inline constexpr std::chrono::seconds MAX_QUERY_TIMEOUT{7 * 24 * 3600};
std::chrono::milliseconds query_timeout(const db_utils::DatabaseConfig& config);

// The options of one call on the connection `config`: its query_timeout and the call's
// cancel signal (null: not cancellable).
sql::ExecuteOptions call_options(const db_utils::DatabaseConfig& config, base::CancelSignalPtr cancel);

// Inspection, each under options.timeout and options.cancel (see sql::Connection).
// Schema names, sorted. Throws the engine's DatabaseError.
std::vector<std::string> list_schemas(sql::Engine& engine, const sql::ExecuteOptions& options = {});
// Table and view names of `db_schema`, sorted; empty for an unknown schema.
std::vector<std::string> list_tables(sql::Engine& engine, const std::string& db_schema,
                                     const sql::ExecuteOptions& options = {});
// The columns of one table or view: [{"name", "type", "nullable"}, ...] in column
// order. Throws DatabaseError "Table '{schema}.{table}' not found" when it is missing.
Json get_columns(sql::Engine& engine, const std::string& db_schema, const std::string& table,
                 const sql::ExecuteOptions& options = {});

// Drops every cached engine (tests). Engines still held elsewhere keep working.
void clear_engine_cache();
size_t engine_cache_size();

}  // namespace velko::platform::warehouse
