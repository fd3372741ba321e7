// The time limit and the cancellation of one statement on a warehouse that runs it
// asynchronously over HTTP (Snowflake, BigQuery): the driver starts the statement, then
// polls; between polls it waits on this object, which wakes at once when the caller
// cancels. When the limit passes or the caller cancels, the driver stops the statement
// on the server and throws what finish() throws.
//
// One object per statement, used by the thread that runs it; cancel() of the caller's
// signal may come from any thread. The deadline and the wake-up on cancellation are a
// sql::StatementWatch's (one without a stop function, so no thread of its own).
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "velko/base/cancel.h"
#include "velko/base/json.h"
#include "velko/platform/sql/result.h"
#include "velko/platform/sql/statement_watch.h"

namespace velko::platform::sql_remote {

class StatementControl {
 public:
  using Clock = std::chrono::steady_clock;

  // `options.timeout` of zero means no limit; `options.cancel` may be null.
  explicit StatementControl(const sql::ExecuteOptions& options);
  StatementControl(const StatementControl&) = delete;
  StatementControl& operator=(const StatementControl&) = delete;

  bool cancelled() const { return watch_.cancelled(); }
  bool expired() const { return watch_.timed_out(); }
  // True when the statement must stop now (cancelled or past its limit).
  bool must_stop() const { return cancelled() || expired(); }

  // The limit for one HTTP exchange: `cap` seconds, less when the statement's limit
  // comes sooner (never below `floor` seconds, so a stop request still gets through).
  double request_seconds(double cap, double floor = 0.5) const;
  // The whole limit in whole seconds, rounded up (for a server-side limit); 0 for none.
  long long limit_seconds() const;

  // Waits `pause`, returning early when cancelled or when the limit passes.
  void wait(std::chrono::milliseconds pause);

  // When the statement must stop: calls `stop` (which asks the server to stop it and
  // must not throw), then throws base::CancelledError or base::TimeoutError "The query
  // timed out after N seconds and was stopped". Returns when neither holds.
  void stop_if_needed(const std::function<void()>& stop);

  // Throws what stop_if_needed throws, without stopping anything (nothing started yet).
  void throw_if_needed() {
    stop_if_needed([] {});
  }

  // "timed out after N seconds" with N the limit ("1.5" for fractions).
  std::string timeout_text() const;

 private:
  const std::chrono::milliseconds timeout_;
  sql::StatementWatch watch_;
};

// The base URL of a service: the environment variable `env_name` when set and non-empty,
// else `fallback`; trailing "/" removed. Only http and https URLs are accepted, and plain
// http only for a loopback host (127.0.0.0/8, ::1, localhost), so a token never crosses
// a network unencrypted. Throws DatabaseError naming the variable (not its value's
// query or user information) otherwise.
std::string service_base_url(const char* env_name, const std::string& fallback);

// Throws DatabaseError "{what} must use https (plain http only for a loopback address)"
// unless `url` is https, or http to a loopback host.
void require_secure_url(const std::string& url, const std::string& what);

// JSON text a service sent (a body, a semi-structured value), parsed when it is valid
// and nests no deeper than base::MAX_JSON_DEPTH; nullopt otherwise. Never throws.
std::optional<Json> parse_service_json(std::string_view text);

}  // namespace velko::platform::sql_remote
