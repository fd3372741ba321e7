// The time limit and the cancel signal of one running statement, for the drivers.
//
//   StatementWatch watch(options, [&] { PQcancel(cancel, ...); }, std::chrono::seconds(1));
//   ... run the statement; when it fails because `stop` ran:
//   watch.throw_if_stopped();          // CancelledError or TimeoutError
//
// A driver builds one around each statement. `stop` (the driver's way of stopping the
// statement on the server: a cancel request, sqlite3_interrupt, KILL QUERY) is called at
// most once, from the watch's own thread: as soon as options.cancel fires, or when
// options.timeout plus `grace` has passed since the watch was built (a server that
// enforces the limit itself answers within the grace). Without a time limit and a cancel
// signal, or without `stop`, no thread is started. The destructor stops watching; once
// it returns, `stop` is neither running nor will it run, so `stop` may use what the
// statement uses. Other members may be called from the statement's thread at any time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "velko/base/cancel.h"
#include "velko/platform/sql/result.h"

namespace velko::platform::sql {

// "Query timed out after 2 seconds" (fractions written as "2.5 seconds").
std::string timeout_text(std::chrono::milliseconds timeout);

class StatementWatch {
 public:
  using Clock = std::chrono::steady_clock;

  StatementWatch(const ExecuteOptions& options, std::function<void()> stop,
                 std::chrono::milliseconds grace = std::chrono::milliseconds(0));
  ~StatementWatch();
  StatementWatch(const StatementWatch&) = delete;
  StatementWatch& operator=(const StatementWatch&) = delete;

  // The caller's signal fired (whether or not `stop` ran yet).
  bool cancelled() const;
  // The time limit has passed.
  bool timed_out() const;
  // Time left before the limit (zero when passed); max() without a limit.
  Clock::duration remaining() const;
  // Whether `stop` is due: the signal fired, or the limit plus the grace has passed.
  bool stop_due() const;

  // Throws CancelledError when cancelled, TimeoutError (timeout_text) when timed out;
  // returns otherwise.
  void throw_if_stopped() const;

  // Sleeps for `pause`, or less when cancelled or timed out meanwhile. Returns false when
  // woken by either.
  bool sleep_for(std::chrono::milliseconds pause);

 private:
  void watch();

  const std::chrono::milliseconds timeout_;
  const Clock::time_point started_;
  const base::CancelSignalPtr signal_;
  const std::chrono::milliseconds grace_;
  std::function<void()> stop_;

  mutable std::mutex mu_;
  // State below is guarded by mu_.
  std::condition_variable wake_;
  bool cancel_seen_ = false;  // the subscription ran
  bool done_ = false;         // the destructor asks the thread to end

  base::CancelSignal::Subscription subscription_;
  std::thread thread_;
};

}  // namespace velko::platform::sql
