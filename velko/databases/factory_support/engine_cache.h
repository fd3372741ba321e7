// LruCache: a thread-safe least-recently-used cache with a fixed number of entries, for
// the engine factories (one cache per factory, 256 engines each).
//
//   static LruCache<std::string, std::shared_ptr<Engine>> cache(256);
//   auto engine = cache.get_or_create(key, [&] { return build_engine(args); });
//
// get_or_create() returns the cached value for `key` (making it the most recently used)
// or calls `make` and keeps its result, dropping the least recently used entry when the
// cache is full. Only successful results are kept: when `make` throws, the error reaches
// the caller and the next call with that key tries again in full.
//
// Concurrent callers with the same key share one `make` call: the first caller runs it
// (without holding the cache's lock, so callers with other keys are not held up) and the
// others wait for its outcome, value or error. So each key has one value at a time.
//
// Every member function is safe to call from any thread.
#pragma once

#include <cstddef>
#include <exception>
#include <future>
#include <list>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

namespace velko::databases::factory_support {

// The cache's counters, as the agent runtime's cache_info() reports them.
struct CacheInfo {
  size_t hits = 0;
  size_t misses = 0;
  size_t maxsize = 0;
  size_t currsize = 0;
};

template <typename Key, typename Value, typename Hash = std::hash<Key>>
class LruCache {
 public:
  explicit LruCache(size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}
  LruCache(const LruCache&) = delete;
  LruCache& operator=(const LruCache&) = delete;

  template <typename Make>
  Value get_or_create(const Key& key, Make&& make) {
    std::unique_lock lock(mu_);
    if (auto found = index_.find(key); found != index_.end()) {
      ++hits_;
      order_.splice(order_.begin(), order_, found->second);
      return found->second->second;
    }
    if (auto pending = in_flight_.find(key); pending != in_flight_.end()) {
      ++hits_;
      std::shared_future<Value> shared = pending->second;
      lock.unlock();
      return shared.get();  // the first caller's value, or its error
    }
    ++misses_;
    std::promise<Value> promise;
    in_flight_.emplace(key, promise.get_future().share());
    lock.unlock();

    std::optional<Value> made;
    try {
      made.emplace(make());
    } catch (...) {
      lock.lock();
      in_flight_.erase(key);
      lock.unlock();
      promise.set_exception(std::current_exception());
      throw;
    }
    lock.lock();
    in_flight_.erase(key);
    order_.emplace_front(key, *made);
    index_[key] = order_.begin();
    std::optional<Value> evicted;  // released outside the lock
    if (order_.size() > capacity_) {
      evicted.emplace(std::move(order_.back().second));
      index_.erase(order_.back().first);
      order_.pop_back();
    }
    lock.unlock();
    promise.set_value(*made);
    return std::move(*made);
  }

  // The cached value without creating one (does not count as a hit or a miss, and does
  // not change the order).
  std::optional<Value> peek(const Key& key) const {
    std::lock_guard lock(mu_);
    auto found = index_.find(key);
    if (found == index_.end()) return std::nullopt;
    return found->second->second;
  }

  CacheInfo info() const {
    std::lock_guard lock(mu_);
    return CacheInfo{hits_, misses_, capacity_, order_.size()};
  }

  // Drops every entry and resets the counters (calls in flight still finish and store).
  void clear() {
    std::list<std::pair<Key, Value>> dropped;
    {
      std::lock_guard lock(mu_);
      dropped.swap(order_);
      index_.clear();
      hits_ = 0;
      misses_ = 0;
    }
  }

  size_t capacity() const { return capacity_; }

 private:
  using Entry = std::pair<Key, Value>;
  const size_t capacity_;
  mutable std::mutex mu_;
  // state below is guarded by mu_
  std::list<Entry> order_;  // most recently used first
  std::unordered_map<Key, typename std::list<Entry>::iterator, Hash> index_;
  std::unordered_map<Key, std::shared_future<Value>, Hash> in_flight_;
  size_t hits_ = 0;
  size_t misses_ = 0;
};

}  // namespace velko::databases::factory_support
