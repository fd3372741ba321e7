// The run configuration of the current invocation.
//
// The runtime binds the configuration for the thread(s) that serve one invocation with
// a ConfigScope; get_config() reads it from anywhere below. Work moved to another thread
// takes it along with run_with_config().
#pragma once

#include <functional>
#include <future>
#include <utility>

#include "velko/base/json.h"

namespace velko::host {

// The configuration bound to this thread, or an empty object when none is bound.
const Json& get_config();

// The `configurable` mapping of the current configuration (empty object when absent or
// not an object).
Json get_configurable();

// Binds `config` for the calling thread while in scope; restores the previous binding.
class ConfigScope {
 public:
  explicit ConfigScope(Json config);
  ~ConfigScope();
  ConfigScope(const ConfigScope&) = delete;
  ConfigScope& operator=(const ConfigScope&) = delete;

 private:
  Json config_;
  const Json* previous_;
};

// Runs `fn` on a new thread with the caller's configuration bound there.
template <typename Fn>
auto run_on_worker(Fn fn) -> std::future<decltype(fn())> {
  Json config = get_config();
  return std::async(std::launch::async, [config = std::move(config), fn = std::move(fn)]() mutable {
    ConfigScope scope(std::move(config));
    return fn();
  });
}

// A future that is already satisfied with `value`.
template <typename T>
std::future<T> ready_future(T value) {
  std::promise<T> promise;
  promise.set_value(std::move(value));
  return promise.get_future();
}

}  // namespace velko::host
