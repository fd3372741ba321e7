// NamedTable<T>: values by name, kept in the order their names were first added; adding
// a name again replaces its value in place. The registries of factories are made of it.
//
// Thread-safe: every member may be called from any thread. get() hands out a copy, so a
// value (a factory) is called outside the table's lock.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velko::base {

template <typename T>
class NamedTable {
 public:
  void put(const std::string& name, T value) {
    std::lock_guard lock(mu_);
    for (auto& [existing, stored] : entries_) {
      if (existing == name) {
        stored = std::move(value);
        return;
      }
    }
    entries_.emplace_back(name, std::move(value));
  }

  // nullopt when nothing of that name was added.
  std::optional<T> get(const std::string& name) const {
    std::lock_guard lock(mu_);
    for (const auto& [existing, stored] : entries_) {
      if (existing == name) return stored;
    }
    return std::nullopt;
  }

  // In the order first added.
  std::vector<std::string> names() const {
    std::lock_guard lock(mu_);
    std::vector<std::string> out;
    out.reserve(entries_.size());
    for (const auto& entry : entries_) out.push_back(entry.first);
    return out;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::pair<std::string, T>> entries_;  // guarded by mu_
};

}  // namespace velko::base
