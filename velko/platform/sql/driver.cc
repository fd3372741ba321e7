#include "velko/platform/sql/driver.h"

#include <map>
#include <mutex>

namespace velko::platform::sql {
namespace {

struct DriverRegistry {
  std::mutex mu;
  std::map<std::string, std::shared_ptr<Driver>, std::less<>> drivers;  // guarded by mu
};

// The registry with the built-in drivers. They are registered here, on first use, rather
// than by static initialisers, which a static library would drop at link time.
// Process-wide: built once (thread-safe static initialisation), never destroyed, so an
// engine used by a static destructor still finds its driver; later registrations are
// guarded by the registry's own lock.
DriverRegistry& registry() {
  static DriverRegistry* instance = [] {
    auto* built = new DriverRegistry();
    auto sqlite = make_sqlite_driver();
    auto postgres = make_postgres_driver();
    built->drivers["sqlite"] = sqlite;
    built->drivers["sqlite+pysqlite"] = sqlite;
    built->drivers["postgresql"] = postgres;
    built->drivers["postgresql+psycopg"] = postgres;
    built->drivers["postgresql+psycopg2"] = postgres;
    return built;
  }();
  return *instance;
}

}  // namespace

const std::vector<Row>& Result::fetchall() const {
  if (!returns_rows_) {
    throw base::RuntimeError("This result object does not return rows. It has been closed automatically.");
  }
  return rows_;
}

std::vector<Row> Result::take_rows() {
  fetchall();
  return std::move(rows_);
}

void register_driver(const std::string& name, std::shared_ptr<Driver> driver) {
  DriverRegistry& reg = registry();
  std::lock_guard lock(reg.mu);
  reg.drivers[name] = std::move(driver);
}

std::shared_ptr<Driver> find_driver(std::string_view name) {
  DriverRegistry& reg = registry();
  std::lock_guard lock(reg.mu);
  auto found = reg.drivers.find(name);
  return found == reg.drivers.end() ? nullptr : found->second;
}

std::vector<std::string> driver_names() {
  DriverRegistry& reg = registry();
  std::lock_guard lock(reg.mu);
  std::vector<std::string> names;
  for (const auto& [name, driver] : reg.drivers) names.push_back(name);
  return names;
}

}  // namespace velko::platform::sql
