// Engine: a thread-safe pool of connections to one database URL, and Connection: one
// pooled connection checked out for a scope.
//
//   auto engine = create_engine("postgresql+psycopg://user:pw@host:5432/db");
//   {
//     Connection connection = engine->connect();
//     Result result = connection.execute("SELECT id, name FROM users", {.max_rows = 50});
//   }  // rolled back and returned to the pool here
//
// Connections are opened lazily (create_engine opens none). With pool_pre_ping, a pooled
// connection is checked before it is handed out and replaced when dead. Every statement
// runs in a read-only transaction (PostgreSQL's BEGIN READ ONLY, SQLite's read-only
// mode) that is rolled back at the latest when the Connection is released (PostgreSQL
// rolls each statement's own transaction back in the statement's round trip): nothing is
// ever committed, and a write fails with the database's own error. One statement per execute() call.
//
// Errors: DatabaseError (and DisconnectionError) with the database's message; the
// password never appears in any error text. Engine is thread-safe; a Connection belongs
// to the thread that uses it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "velko/platform/sql/driver.h"
#include "velko/platform/sql/result.h"
#include "velko/platform/sql/url.h"

namespace velko::platform::sql {

struct EngineOptions {
  // Check a pooled connection before handing it out; replace it when dead.
  bool pool_pre_ping = true;
  // Connections kept open while idle.
  size_t pool_size = 5;
  // Connections opened beyond pool_size when all are busy (closed on release).
  size_t max_overflow = 10;
  // How long connect() waits for a free connection when pool_size + max_overflow are
  // all checked out; then it throws TimeoutError.
  std::chrono::milliseconds pool_timeout{30000};
};

// Counters of one engine's pool, for tests and benchmarks.
struct PoolStats {
  size_t opened = 0;        // connections opened so far
  size_t closed = 0;        // connections closed (dead, overflow, disposed)
  size_t failed_pings = 0;  // pooled connections found dead by the pre-ping
  size_t checked_out = 0;   // connections in use right now
  size_t idle = 0;          // connections waiting in the pool right now
  size_t peak_open = 0;     // the most connections open at one time
};

class Engine;

class Connection {
 public:
  Connection(Connection&& other) noexcept;
  Connection& operator=(Connection&& other) noexcept;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  // Rolls back and returns the connection to the pool (or closes it when broken).
  ~Connection();

  // Runs exactly one statement (see DriverConnection::execute), under options.timeout
  // and options.cancel: TimeoutError or CancelledError after the driver stopped it on
  // the server; a signal that already fired throws CancelledError before anything is
  // sent. Text holding a NUL byte is refused. When a connection taken from the pool turns out to be dead at its first
  // statement, it is replaced and the statement sent once more (it ran in a read-only,
  // rolled-back transaction, so nothing happened twice).
  Result execute(std::string_view sql, const ExecuteOptions& options = {});

  // Inspection (see DriverConnection), under options.timeout and options.cancel.
  std::vector<std::string> list_schemas(const ExecuteOptions& options = {});
  std::vector<std::string> list_tables(const std::string& schema, const ExecuteOptions& options = {});
  std::vector<ColumnInfo> get_columns(const std::string& schema, const std::string& table,
                                      const ExecuteOptions& options = {});

  // Releases the connection now; the object is empty afterwards.
  void close();

 private:
  friend class Engine;
  Connection(std::shared_ptr<Engine> engine, std::unique_ptr<DriverConnection> connection, bool reused);

  template <typename Fn>
  auto run(Fn&& fn) -> decltype(fn(std::declval<DriverConnection&>()));

  std::shared_ptr<Engine> engine_;
  std::unique_ptr<DriverConnection> connection_;
  bool reused_ = false;  // taken from the pool (not freshly opened)
  bool used_ = false;    // a statement was sent on this checkout
};

class Engine : public std::enable_shared_from_this<Engine> {
 public:
  // Called with every statement text just before it is sent (tests, tracing). Listeners
  // run on the executing thread and must be thread-safe.
  using StatementListener = std::function<void(std::string_view statement)>;

  // Use create_engine().
  Engine(Url url, std::shared_ptr<Driver> driver, EngineOptions options);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  const Url& url() const { return url_; }
  const EngineOptions& options() const { return options_; }

  // A connection for the caller's scope: a pooled one (checked first with
  // pool_pre_ping), or a newly opened one. Throws DatabaseError when the database cannot
  // be reached, TimeoutError when the pool stays exhausted for pool_timeout.
  Connection connect();

  // Closes every idle connection; connections in use close when released.
  void dispose();

  void add_statement_listener(StatementListener listener);
  PoolStats stats() const;

  // `text` with the URL's password (as written and percent-encoded) replaced by "***".
  std::string scrub(std::string_view text) const;

 private:
  friend class Connection;
  struct Checkout {
    std::unique_ptr<DriverConnection> connection;
    bool reused = false;
  };
  Checkout checkout();
  std::unique_ptr<DriverConnection> open_connection();  // counts; the slot is the caller's
  void release(std::unique_ptr<DriverConnection> connection);
  void give_back_slot();
  void notify_statement(std::string_view statement) const;

  const Url url_;
  const std::shared_ptr<Driver> driver_;
  const EngineOptions options_;

  mutable std::mutex mu_;
  // State below is guarded by mu_.
  std::condition_variable slot_freed_;
  std::vector<std::unique_ptr<DriverConnection>> idle_;  // most recently used last
  size_t in_use_ = 0;                                    // checked out or being opened
  PoolStats counters_;
  std::shared_ptr<const std::vector<StatementListener>> listeners_;
};

// An engine for `url` (see url.h). Opens no connection. Throws ValueError for a URL that
// cannot be parsed and ModuleNotFoundError "No database driver registered for '{scheme}'"
// for a scheme without a driver; neither message contains the URL.
std::shared_ptr<Engine> create_engine(std::string_view url, EngineOptions options = {});

}  // namespace velko::platform::sql
