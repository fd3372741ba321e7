#include "velko/databases/factory_support/engines.h"

#include "velko/platform/sql_remote/drivers.h"

namespace velko::databases::factory_support {

std::shared_ptr<platform::sql::Engine> create_pre_ping_engine(std::string_view url) {
  platform::sql_remote::register_remote_drivers();
  platform::sql::EngineOptions options;
  options.pool_pre_ping = true;
  return platform::sql::create_engine(url, options);
}

Json describe_engine(const platform::sql::Engine& engine) {
  return Json{{"url", engine.url().render_redacted()},
              {"drivername", engine.url().drivername},
              {"pool_pre_ping", engine.options().pool_pre_ping}};
}

Json cache_info_json(const CacheInfo& info) {
  return Json{{"hits", info.hits}, {"misses", info.misses}, {"maxsize", info.maxsize}, {"currsize", info.currsize}};
}

}  // namespace velko::databases::factory_support
