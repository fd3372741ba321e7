// A fixed set of worker threads running queued tasks, with a bounded queue: submit()
// blocks while the queue is full, so a producer faster than the workers waits instead of
// growing memory. At most workers() tasks run and queue_capacity() wait at any time.
//
// Thread-safe. The destructor stops taking tasks, lets the workers run every task still
// queued, and joins them. Tasks must not throw: an exception that escapes one ends the
// process (std::terminate), as for any thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace velko::mcp {

class WorkerPool {
 public:
  // Starts `workers` threads (at least 1); `queue_capacity` tasks may wait (at least 1).
  WorkerPool(size_t workers, size_t queue_capacity);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues `task`, first waiting while the queue is full.
  void submit(std::function<void()> task);

  size_t workers() const { return threads_.size(); }
  size_t queue_capacity() const { return queue_capacity_; }
  // Tasks queued or running right now (a snapshot).
  size_t pending() const;

 private:
  void run();

  const size_t queue_capacity_;
  mutable std::mutex mu_;
  // State below is guarded by mu_.
  std::deque<std::function<void()>> queue_;
  size_t running_ = 0;
  bool stopping_ = false;
  std::condition_variable has_task_;
  std::condition_variable has_room_;
  // Fixed after construction.
  std::vector<std::thread> threads_;
};

}  // namespace velko::mcp
