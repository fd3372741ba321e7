#include "velko/platform/sql/engine.h"

#include <algorithm>

#include "velko/base/errors.h"
#include "velko/base/redact.h"

namespace velko::platform::sql {
namespace {

// Rethrows the exception being handled, with the secret removed from its text when
// it holds one (the kind becomes DatabaseError then).
[[noreturn]] void rethrow_scrubbed(const Engine& engine, const std::exception& error) {
  std::string scrubbed = engine.scrub(error.what());
  if (scrubbed == error.what()) throw;
  throw base::DatabaseError(scrubbed);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Connection

Connection::Connection(std::shared_ptr<Engine> engine, std::unique_ptr<DriverConnection> connection, bool reused)
    : engine_(std::move(engine)), connection_(std::move(connection)), reused_(reused) {}

Connection::Connection(Connection&& other) noexcept
    : engine_(std::move(other.engine_)),
      connection_(std::move(other.connection_)),
      reused_(other.reused_),
      used_(other.used_) {}

Connection& Connection::operator=(Connection&& other) noexcept {
  if (this != &other) {
    close();
    engine_ = std::move(other.engine_);
    connection_ = std::move(other.connection_);
    reused_ = other.reused_;
    used_ = other.used_;
  }
  return *this;
}

Connection::~Connection() { close(); }

void Connection::close() {
  if (!engine_) return;
  // The checkout holds a pool slot even when a failed replacement left no connection.
  if (connection_) {
    engine_->release(std::move(connection_));
  } else {
    engine_->give_back_slot();
  }
  engine_.reset();
}

template <typename Fn>
auto Connection::run(Fn&& fn) -> decltype(fn(std::declval<DriverConnection&>())) {
  if (!engine_) throw base::RuntimeError("This Connection is closed");
  if (!connection_) throw DisconnectionError("the connection to the database was lost");
  bool first_statement = !used_;
  used_ = true;
  try {
    return fn(*connection_);
  } catch (const DisconnectionError& error) {
    if (!(reused_ && first_statement)) rethrow_scrubbed(*engine_, error);
  } catch (const std::exception& error) {
    rethrow_scrubbed(*engine_, error);
  }
  // A pooled connection died after its check: replace it (same pool slot) and send the
  // statement once more. It ran, if at all, in a read-only transaction that is gone.
  connection_.reset();
  {
    std::lock_guard lock(engine_->mu_);
    ++engine_->counters_.closed;
  }
  connection_ = engine_->open_connection();
  reused_ = false;
  try {
    return fn(*connection_);
  } catch (const std::exception& error) {
    rethrow_scrubbed(*engine_, error);
  }
}

Result Connection::execute(std::string_view sql, const ExecuteOptions& options) {
  if (sql.find('\0') != std::string_view::npos) {
    throw base::DatabaseError("SQL text cannot contain NUL (0x00) bytes");
  }
  base::throw_if_cancelled(options.cancel);
  if (engine_) engine_->notify_statement(sql);
  return run([&](DriverConnection& connection) { return connection.execute(sql, options); });
}

std::vector<std::string> Connection::list_schemas(const ExecuteOptions& options) {
  base::throw_if_cancelled(options.cancel);
  return run([&](DriverConnection& connection) { return connection.list_schemas(options); });
}

namespace {
void refuse_nul(const std::string& name) {
  if (name.find('\0') != std::string::npos) throw base::DatabaseError("names cannot contain NUL (0x00) bytes");
}
}  // namespace

std::vector<std::string> Connection::list_tables(const std::string& schema, const ExecuteOptions& options) {
  refuse_nul(schema);
  base::throw_if_cancelled(options.cancel);
  return run([&](DriverConnection& connection) { return connection.list_tables(schema, options); });
}

std::vector<ColumnInfo> Connection::get_columns(const std::string& schema, const std::string& table,
                                                const ExecuteOptions& options) {
  refuse_nul(schema);
  refuse_nul(table);
  base::throw_if_cancelled(options.cancel);
  return run([&](DriverConnection& connection) { return connection.get_columns(schema, table, options); });
}

// ---------------------------------------------------------------------------------------
// Engine

Engine::Engine(Url url, std::shared_ptr<Driver> driver, EngineOptions options)
    : url_(std::move(url)),
      driver_(std::move(driver)),
      options_(options),
      listeners_(std::make_shared<const std::vector<StatementListener>>()) {}

Engine::~Engine() { dispose(); }

Connection Engine::connect() {
  Checkout checkout_result = checkout();
  return Connection(shared_from_this(), std::move(checkout_result.connection), checkout_result.reused);
}

Engine::Checkout Engine::checkout() {
  std::unique_ptr<DriverConnection> candidate;
  {
    std::unique_lock lock(mu_);
    const size_t limit = options_.pool_size + options_.max_overflow;
    bool available =
        slot_freed_.wait_for(lock, options_.pool_timeout, [&] { return !idle_.empty() || in_use_ < limit; });
    if (!available) {
      throw base::TimeoutError("connection pool limit of size " + std::to_string(options_.pool_size) + " overflow " +
                               std::to_string(options_.max_overflow) + " reached, connection timed out after " +
                               std::to_string(options_.pool_timeout.count()) + " ms");
    }
    ++in_use_;
    if (!idle_.empty()) {
      candidate = std::move(idle_.back());
      idle_.pop_back();
    }
    counters_.peak_open = std::max(counters_.peak_open, in_use_ + idle_.size());
  }
  // The slot is ours from here on: a dead pooled connection is replaced within it.
  while (candidate) {
    if (!options_.pool_pre_ping || candidate->ping()) return Checkout{std::move(candidate), true};
    candidate.reset();
    std::lock_guard lock(mu_);
    ++counters_.failed_pings;
    ++counters_.closed;
    if (!idle_.empty()) {
      candidate = std::move(idle_.back());
      idle_.pop_back();
    }
  }
  try {
    return Checkout{open_connection(), false};
  } catch (...) {
    give_back_slot();
    throw;
  }
}

std::unique_ptr<DriverConnection> Engine::open_connection() {
  std::unique_ptr<DriverConnection> connection;
  try {
    connection = driver_->connect(url_);
  } catch (const std::exception& error) {
    rethrow_scrubbed(*this, error);
  }
  std::lock_guard lock(mu_);
  ++counters_.opened;
  return connection;
}

void Engine::release(std::unique_ptr<DriverConnection> connection) {
  bool reusable = connection->reset();
  {
    std::lock_guard lock(mu_);
    --in_use_;
    if (reusable && idle_.size() < options_.pool_size) {
      idle_.push_back(std::move(connection));
    } else {
      ++counters_.closed;
    }
  }
  slot_freed_.notify_one();
  connection.reset();  // closes a connection that was not pooled, outside the lock
}

void Engine::give_back_slot() {
  {
    std::lock_guard lock(mu_);
    --in_use_;
  }
  slot_freed_.notify_one();
}

void Engine::dispose() {
  std::vector<std::unique_ptr<DriverConnection>> closing;
  {
    std::lock_guard lock(mu_);
    closing.swap(idle_);
    counters_.closed += closing.size();
  }
  closing.clear();
}

void Engine::add_statement_listener(StatementListener listener) {
  std::lock_guard lock(mu_);
  auto next = std::make_shared<std::vector<StatementListener>>(*listeners_);
  next->push_back(std::move(listener));
  listeners_ = std::move(next);
}

void Engine::notify_statement(std::string_view statement) const {
  std::shared_ptr<const std::vector<StatementListener>> listeners;
  {
    std::lock_guard lock(mu_);
    if (listeners_->empty()) return;
    listeners = listeners_;
  }
  for (const auto& listener : *listeners) listener(statement);
}

PoolStats Engine::stats() const {
  std::lock_guard lock(mu_);
  PoolStats stats = counters_;
  stats.checked_out = in_use_;
  stats.idle = idle_.size();
  return stats;
}

std::string Engine::scrub(std::string_view text) const {
  base::Redactor redactor;
  if (url_.password) redactor.add_secret(*url_.password);
  return redactor.redact(text);
}

std::shared_ptr<Engine> create_engine(std::string_view url_text, EngineOptions options) {
  Url url = make_url(url_text);
  std::shared_ptr<Driver> driver = find_driver(url.drivername);
  if (!driver) throw base::ModuleNotFoundError("No database driver registered for '" + url.drivername + "'");
  return std::make_shared<Engine>(std::move(url), std::move(driver), options);
}

}  // namespace velko::platform::sql
