// A cancellation signal shared between the caller of an operation and the code that runs
// it: a tool call, a query, a child process, a model call.
//
//   auto signal = std::make_shared<base::CancelSignal>();
//   runtime.cancel = signal;                    // the caller keeps `signal`
//   ...
//   auto subscription = signal->subscribe([&] { PQcancel(...); });   // the callee
//   ...
//   signal->cancel();                           // from any thread, e.g. a SIGINT watcher
//
// cancel() is idempotent and never throws; it runs every subscribed callback once, on the
// cancelling thread. A callback subscribed after cancel() runs at once, on the subscribing
// thread. Callbacks must be short, must not throw and must not subscribe or unsubscribe
// (they may call cancelled()). A Subscription unsubscribes when destroyed and, once its
// destructor returns, its callback neither runs nor is running. Thread-safe throughout.
//
// A null std::shared_ptr<CancelSignal> means "never cancelled"; the free functions below
// accept it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "velko/base/errors.h"

namespace velko::base {

// The operation was cancelled by its caller. what() is "cancelled".
class CancelledError : public Error {
 public:
  CancelledError() : Error("cancelled") {}
  const char* kind() const noexcept override { return "CancelledError"; }
};

class CancelSignal {
 public:
  class Subscription {
   public:
    Subscription() = default;
    Subscription(Subscription&& other) noexcept;
    Subscription& operator=(Subscription&& other) noexcept;
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    ~Subscription();
    // Unsubscribes now (see the class comment); the object is empty afterwards.
    void reset();

   private:
    friend class CancelSignal;
    Subscription(std::shared_ptr<CancelSignal> signal, uint64_t id) : signal_(std::move(signal)), id_(id) {}
    std::shared_ptr<CancelSignal> signal_;
    uint64_t id_ = 0;
  };

  CancelSignal() = default;
  CancelSignal(const CancelSignal&) = delete;
  CancelSignal& operator=(const CancelSignal&) = delete;

  // Marks the signal cancelled and runs the subscribed callbacks (once each).
  void cancel() noexcept;
  bool cancelled() const noexcept { return cancelled_.load(std::memory_order_acquire); }

  // Registers `callback` (see the class comment). The signal must be owned by a
  // shared_ptr; the Subscription keeps it alive.
  [[nodiscard]] static Subscription subscribe(const std::shared_ptr<CancelSignal>& signal,
                                              std::function<void()> callback);

 private:
  void unsubscribe(uint64_t id) noexcept;

  std::atomic<bool> cancelled_{false};
  std::mutex mu_;
  // State below is guarded by mu_.
  std::map<uint64_t, std::function<void()>> callbacks_;
  uint64_t next_id_ = 1;
  uint64_t running_id_ = 0;         // the callback cancel() runs right now, or 0
  std::thread::id running_thread_;  // the thread running it
  std::condition_variable_any callback_done_;
};

using CancelSignalPtr = std::shared_ptr<CancelSignal>;

// True when `signal` is set and cancelled.
inline bool is_cancelled(const CancelSignalPtr& signal) { return signal && signal->cancelled(); }

// Throws CancelledError when `signal` is set and cancelled.
inline void throw_if_cancelled(const CancelSignalPtr& signal) {
  if (is_cancelled(signal)) throw CancelledError();
}

// Subscribes `callback` to `signal`; an empty Subscription when `signal` is null.
[[nodiscard]] inline CancelSignal::Subscription on_cancel(const CancelSignalPtr& signal,
                                                          std::function<void()> callback) {
  if (!signal) return {};
  return CancelSignal::subscribe(signal, std::move(callback));
}

}  // namespace velko::base
