#include "velko/mcp/worker_pool.h"

#include <algorithm>

namespace velko::mcp {

WorkerPool::WorkerPool(size_t workers, size_t queue_capacity) : queue_capacity_(std::max<size_t>(queue_capacity, 1)) {
  workers = std::max<size_t>(workers, 1);
  threads_.reserve(workers);
  for (size_t worker_idx = 0; worker_idx < workers; ++worker_idx) threads_.emplace_back([this] { run(); });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
  }
  has_task_.notify_all();
  for (auto& thread : threads_) thread.join();
}

void WorkerPool::submit(std::function<void()> task) {
  std::unique_lock lock(mu_);
  has_room_.wait(lock, [this] { return queue_.size() < queue_capacity_; });
  queue_.push_back(std::move(task));
  lock.unlock();
  has_task_.notify_one();
}

size_t WorkerPool::pending() const {
  std::lock_guard lock(mu_);
  return queue_.size() + running_;
}

void WorkerPool::run() {
  while (true) {
    std::function<void()> task;
    {
      std::unique_lock lock(mu_);
      has_task_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, nothing left
      task = std::move(queue_.front());
      queue_.pop_front();
      ++running_;
    }
    has_room_.notify_one();
    task();
    task = nullptr;  // release what the task holds before counting it done
    std::lock_guard lock(mu_);
    --running_;
  }
}

}  // namespace velko::mcp
