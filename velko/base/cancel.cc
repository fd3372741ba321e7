#include "velko/base/cancel.h"

namespace velko::base {

CancelSignal::Subscription::Subscription(Subscription&& other) noexcept
    : signal_(std::move(other.signal_)), id_(other.id_) {
  other.id_ = 0;
}

CancelSignal::Subscription& CancelSignal::Subscription::operator=(Subscription&& other) noexcept {
  if (this != &other) {
    reset();
    signal_ = std::move(other.signal_);
    id_ = other.id_;
    other.id_ = 0;
  }
  return *this;
}

CancelSignal::Subscription::~Subscription() { reset(); }

void CancelSignal::Subscription::reset() {
  if (signal_) signal_->unsubscribe(id_);
  signal_.reset();
  id_ = 0;
}

void CancelSignal::cancel() noexcept {
  cancelled_.store(true, std::memory_order_release);
  std::unique_lock lock(mu_);
  if (running_id_ != 0) return;  // another thread is already running the callbacks
  while (!callbacks_.empty()) {
    auto first = callbacks_.begin();
    std::function<void()> callback = std::move(first->second);
    running_id_ = first->first;
    running_thread_ = std::this_thread::get_id();
    callbacks_.erase(first);
    lock.unlock();
    callback();
    lock.lock();
    running_id_ = 0;
    callback_done_.notify_all();
  }
}

CancelSignal::Subscription CancelSignal::subscribe(const std::shared_ptr<CancelSignal>& signal,
                                                   std::function<void()> callback) {
  {
    std::lock_guard lock(signal->mu_);
    if (!signal->cancelled()) {
      uint64_t id = signal->next_id_++;
      signal->callbacks_.emplace(id, std::move(callback));
      return Subscription(signal, id);
    }
  }
  callback();
  return {};
}

void CancelSignal::unsubscribe(uint64_t id) noexcept {
  std::unique_lock lock(mu_);
  callbacks_.erase(id);
  if (running_id_ == id && running_thread_ == std::this_thread::get_id()) return;  // from inside its own callback
  callback_done_.wait(lock, [&] { return running_id_ != id; });
}

}  // namespace velko::base
