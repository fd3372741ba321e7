// The driver interface of the engine layer, and the registry of drivers by URL scheme.
//
// A driver opens DriverConnections for URLs of its scheme. A DriverConnection is used by
// one thread at a time (the Engine's pool guarantees it) and runs every statement in a
// read-only transaction that is rolled back, by reset() at the latest: nothing is ever
// committed. Drivers for further warehouses register themselves with register_driver()
// under their URL scheme ("duckdb", "clickhousedb", ...), without touching this layer.
//
// Error texts (DatabaseError and its kinds) carry the database's own message and never
// a password or a full URL.
//
// Every call that reaches the server (execute and the inspection calls) honours its
// ExecuteOptions' timeout and cancel: when the limit passes or the signal fires, the
// driver stops the statement on the server itself (PostgreSQL: statement_timeout and a
// cancel request; SQLite: sqlite3_interrupt; ClickHouse: max_execution_time and KILL
// QUERY; Databricks: the statement's cancel call) and throws base::TimeoutError
// ("... timed out after N seconds") or base::CancelledError ("cancelled"). The
// connection is left usable for the next call, or reset() reports it broken and the
// engine replaces it. Opening a connection has its own limit, CONNECT_TIMEOUT.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "velko/base/errors.h"
#include "velko/platform/sql/result.h"
#include "velko/platform/sql/url.h"

namespace velko::platform::sql {

// The connection to the database was lost (the server closed it, was restarted, the
// network failed). The connection is unusable afterwards.
class DisconnectionError : public base::DatabaseError {
 public:
  explicit DisconnectionError(const std::string& message) : base::DatabaseError(message) {}
  const char* kind() const noexcept override { return "DisconnectionError"; }
};

class DriverConnection {
 public:
  virtual ~DriverConnection() = default;

  // Checks that a pooled connection still works before it is handed out again; false
  // when it does not (it is then closed and replaced). Never throws.
  virtual bool ping() = 0;

  // Runs exactly one statement inside a read-only transaction: the connection's open one,
  // or one of its own that a driver may roll back as soon as the statement is done. Text holding more than one
  // statement is refused. Throws DatabaseError with the database's message, DisconnectionError when the connection was
  // lost.
  virtual Result execute(std::string_view sql, const ExecuteOptions& options) = 0;

  // Inspection, read-only like execute(), under options.timeout and options.cancel (the
  // row options do not apply). Schema names and the table and view names of `schema` are
  // sorted by name. get_columns throws DatabaseError "Table '{schema}.{table}' not found"
  // when there is no such table or view.
  virtual std::vector<std::string> list_schemas(const ExecuteOptions& options) = 0;
  virtual std::vector<std::string> list_tables(const std::string& schema, const ExecuteOptions& options) = 0;
  virtual std::vector<ColumnInfo> get_columns(const std::string& schema, const std::string& table,
                                              const ExecuteOptions& options) = 0;

  // Ends any open transaction by rolling it back, so the connection can be pooled. Returns
  // false when the connection cannot be used again. Never throws.
  virtual bool reset() = 0;
};

// How long opening a connection may take (the TCP connection, TLS and the login).
inline constexpr std::chrono::seconds CONNECT_TIMEOUT{10};

class Driver {
 public:
  virtual ~Driver() = default;
  // Opens a connection. Throws DatabaseError (no password, no URL in its text) when the
  // database cannot be reached or refuses the login. Called from any thread.
  virtual std::unique_ptr<DriverConnection> connect(const Url& url) = 0;
};

// Registers `driver` for URLs whose scheme (drivername) is `name`, replacing an earlier
// one. Thread-safe. The built-in drivers: "sqlite", "sqlite+pysqlite" (sqlite3),
// "postgresql", "postgresql+psycopg", "postgresql+psycopg2" (libpq).
void register_driver(const std::string& name, std::shared_ptr<Driver> driver);

// The driver registered for `name`, or nullptr. Thread-safe.
std::shared_ptr<Driver> find_driver(std::string_view name);

// Every registered scheme, sorted.
std::vector<std::string> driver_names();

// Built-in drivers (also reachable through the registry).
std::shared_ptr<Driver> make_sqlite_driver();
std::shared_ptr<Driver> make_postgres_driver();

}  // namespace velko::platform::sql
