#include "velko/platform/warehouse/warehouse.h"

#include <cmath>
#include <cstdlib>
#include <list>
#include <mutex>
#include <unordered_map>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/run_mode.h"
#include "velko/platform/config/local_config.h"
#include "velko/platform/db_utils/config_url.h"
#include "velko/platform/services/hosted_services.h"
#include "velko/platform/sql_remote/drivers.h"

namespace velko::platform::warehouse {
namespace {

// The engines by URL, least recently used first.
class EngineCache {
 public:
  std::shared_ptr<sql::Engine> get_or_create(const std::string& url) {
    std::lock_guard lock(mu_);
    if (auto found = index_.find(url); found != index_.end()) {
      order_.splice(order_.end(), order_, found->second);
      return found->second->second;
    }
    std::shared_ptr<sql::Engine> engine = sql::create_engine(url);
    order_.emplace_back(url, engine);
    index_[url] = std::prev(order_.end());
    if (order_.size() > ENGINE_CACHE_SIZE) {
      index_.erase(order_.front().first);
      order_.pop_front();
    }
    return engine;
  }

  void clear() {
    std::lock_guard lock(mu_);
    index_.clear();
    order_.clear();
  }

  size_t size() const {
    std::lock_guard lock(mu_);
    return order_.size();
  }

 private:
  using Entry = std::pair<std::string, std::shared_ptr<sql::Engine>>;
  mutable std::mutex mu_;
  // State below is guarded by mu_.
  std::list<Entry> order_;
  std::unordered_map<std::string, std::list<Entry>::iterator> index_;
};

// The process-wide engine cache: made on first use, never destroyed (engines' pools may
// still be returned to from other threads at exit); clear_engine_cache() empties it.
// Thread-safe through the cache's own lock.
EngineCache& engine_cache() {
  static EngineCache* cache = new EngineCache();
  return *cache;
}

db_utils::DatabaseConfig resolve_config(const std::optional<std::string>& connection_id, const std::string& mode) {
  const bool has_id = connection_id && !connection_id->empty();
  if (base::parse_run_mode(mode) == base::RunMode::kCli) {
    Json config = config::get_local_database_config(connection_id);
    if (base::is_falsy(config)) {
      if (has_id) throw base::ValueError("Connection '" + *connection_id + "' not found");
      throw base::ValueError("No default database connection configured");
    }
    return db_utils::parse_database_config(config);
  }
  if (!has_id) throw base::ValueError("No database connection id given");
  Json config = services::get_database_config(*connection_id);
  if (base::is_falsy(config)) throw base::ValueError("Connection '" + *connection_id + "' not found");
  return db_utils::parse_database_config(config);
}

}  // namespace

std::shared_ptr<sql::Engine> get_db_engine(const std::optional<std::string>& connection_id, const std::string& mode) {
  return get_db_engine_for_config(resolve_config(connection_id, mode));
}

db_utils::DatabaseConfig get_db_config(const std::optional<std::string>& connection_id, const std::string& mode) {
  return resolve_config(connection_id, mode);
}

std::chrono::milliseconds query_timeout(const db_utils::DatabaseConfig& config) {
  std::string source = "VELKO_QUERY_TIMEOUT";
  Json value;
  if (std::optional<std::string> env = base::getenv_opt("VELKO_QUERY_TIMEOUT"); env && !env->empty()) {
    value = *env;
  } else if (!config.query_timeout.is_null()) {
    source = "The connection's query_timeout";
    value = config.query_timeout;
  } else {
    return DEFAULT_QUERY_TIMEOUT;
  }
  std::optional<double> seconds;
  if (value.is_number()) {
    seconds = value.get<double>();
  } else if (value.is_string()) {
    const std::string& text = value.get_ref<const std::string&>();
    char* end = nullptr;
    double parsed = std::strtod(text.c_str(), &end);
    if (!text.empty() && end == text.c_str() + text.size()) seconds = parsed;
  }
  if (!seconds || !(*seconds > 0) || *seconds > static_cast<double>(MAX_QUERY_TIMEOUT.count())) {
    throw base::ValueError(source + " must be a number of seconds above 0 and at most " +
                           std::to_string(MAX_QUERY_TIMEOUT.count()));
  }
  auto ms = std::chrono::milliseconds(static_cast<long long>(std::ceil(*seconds * 1000)));
  return ms;
}

sql::ExecuteOptions call_options(const db_utils::DatabaseConfig& config, base::CancelSignalPtr cancel) {
  sql::ExecuteOptions options;
  options.timeout = query_timeout(config);
  options.cancel = std::move(cancel);
  return options;
}

std::shared_ptr<sql::Engine> get_db_engine_for_config(const db_utils::DatabaseConfig& config) {
  sql_remote::register_remote_drivers();  // ClickHouse, Databricks, MotherDuck URLs
  return engine_cache().get_or_create(db_utils::build_url_for_config(config));
}

std::vector<std::string> list_schemas(sql::Engine& engine, const sql::ExecuteOptions& options) {
  return engine.connect().list_schemas(options);
}

std::vector<std::string> list_tables(sql::Engine& engine, const std::string& db_schema,
                                     const sql::ExecuteOptions& options) {
  return engine.connect().list_tables(db_schema, options);
}

Json get_columns(sql::Engine& engine, const std::string& db_schema, const std::string& table,
                 const sql::ExecuteOptions& options) {
  Json columns = Json::array();
  for (const auto& column : engine.connect().get_columns(db_schema, table, options)) {
    columns.push_back({{"name", column.name}, {"type", column.type}, {"nullable", column.nullable}});
  }
  return columns;
}

void clear_engine_cache() { engine_cache().clear(); }
size_t engine_cache_size() { return engine_cache().size(); }

}  // namespace velko::platform::warehouse
