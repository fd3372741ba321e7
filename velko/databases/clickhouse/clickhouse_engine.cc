#include "velko/databases/clickhouse/clickhouse_engine.h"

#include "velko/base/errors.h"
#include "velko/databases/factory_support/engines.h"
#include "velko/databases/factory_support/keyword_args.h"
#include "velko/platform/db_utils/urls.h"

namespace velko::databases::clickhouse {
namespace {

// This factory's process-wide engine cache: made on first use, never destroyed (a cached
// engine may be in use by another thread at exit). Thread-safe through its own lock.
factory_support::EngineCache& cache() {
  static auto* instance = new factory_support::EngineCache(factory_support::ENGINE_CACHE_SIZE);
  return *instance;
}

}  // namespace

std::shared_ptr<platform::sql::Engine> create_clickhouse_engine(const ClickhouseEngineArgs& args) {
  std::string key =
      Json::array({args.username, args.password, args.host, args.port, args.database, args.secure}).dump();
  return cache().get_or_create(key, [&] {
    if (args.username.empty() || args.password.empty() || args.host.empty() || args.database.empty()) {
      throw base::ValueError(CLICKHOUSE_REQUIRED_MESSAGE);
    }
    platform::db_utils::ClickhouseUrlArgs url_args;
    url_args.username = args.username;
    url_args.password = args.password;
    url_args.host = args.host;
    url_args.port = args.port;
    url_args.database = args.database;
    url_args.secure = args.secure;
    return factory_support::create_pre_ping_engine(platform::db_utils::build_clickhouse_url(url_args));
  });
}

std::shared_ptr<platform::sql::Engine> create_clickhouse_engine(const Json& kwargs) {
  factory_support::KeywordArgs args("create_clickhouse_engine", kwargs,
                                    {"username", "password", "host", "port", "database", "secure"});
  args.require({"username", "password", "host", "database"});
  ClickhouseEngineArgs typed;
  typed.username = args.text("username");
  typed.password = args.text("password");
  typed.host = args.text("host");
  typed.port = args.text_or_integer("port", DEFAULT_PORT);
  typed.database = args.text("database");
  typed.secure = args.truth("secure", true);
  return create_clickhouse_engine(typed);
}

factory_support::CacheInfo engine_cache_info() { return cache().info(); }
void clear_engine_cache() { cache().clear(); }

}  // namespace velko::databases::clickhouse
