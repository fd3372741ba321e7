#include "velko/platform/sql/statement_watch.h"

#include "velko/base/errors.h"
#include "velko/base/strings.h"

namespace velko::platform::sql {

std::string timeout_text(std::chrono::milliseconds timeout) {
  std::string seconds = base::seconds_text(static_cast<double>(timeout.count()) / 1000.0);
  return "Query timed out after " + seconds + (seconds == "1" ? " second" : " seconds");
}

StatementWatch::StatementWatch(const ExecuteOptions& options, std::function<void()> stop,
                               std::chrono::milliseconds grace)
    : timeout_(options.timeout),
      started_(Clock::now()),
      signal_(options.cancel),
      grace_(grace),
      stop_(std::move(stop)) {
  subscription_ = base::on_cancel(signal_, [this] {
    std::lock_guard lock(mu_);
    cancel_seen_ = true;
    wake_.notify_all();
  });
  if (stop_ && (timeout_.count() > 0 || signal_)) thread_ = std::thread([this] { watch(); });
}

StatementWatch::~StatementWatch() {
  {
    std::lock_guard lock(mu_);
    done_ = true;
    wake_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
  subscription_.reset();
}

void StatementWatch::watch() {
  std::unique_lock lock(mu_);
  auto woken = [this] { return done_ || cancel_seen_; };
  if (timeout_.count() > 0) {
    wake_.wait_until(lock, started_ + timeout_ + grace_, woken);
  } else {
    wake_.wait(lock, woken);
  }
  if (done_) return;
  lock.unlock();
  stop_();
}

bool StatementWatch::cancelled() const { return base::is_cancelled(signal_); }

bool StatementWatch::timed_out() const { return timeout_.count() > 0 && Clock::now() >= started_ + timeout_; }

StatementWatch::Clock::duration StatementWatch::remaining() const {
  if (timeout_.count() <= 0) return Clock::duration::max();
  Clock::duration left = started_ + timeout_ - Clock::now();
  return left.count() > 0 ? left : Clock::duration::zero();
}

bool StatementWatch::stop_due() const {
  return cancelled() || (timeout_.count() > 0 && Clock::now() >= started_ + timeout_ + grace_);
}

void StatementWatch::throw_if_stopped() const {
  if (cancelled()) throw base::CancelledError();
  if (timed_out()) throw base::TimeoutError(timeout_text(timeout_));
}

bool StatementWatch::sleep_for(std::chrono::milliseconds pause) {
  Clock::time_point until = Clock::now() + pause;
  if (timeout_.count() > 0) until = std::min(until, started_ + timeout_);
  std::unique_lock lock(mu_);
  wake_.wait_until(lock, until, [this] { return cancel_seen_; });
  lock.unlock();
  return !cancelled() && !timed_out();
}

}  // namespace velko::platform::sql
