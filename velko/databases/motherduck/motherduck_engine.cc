#include "velko/databases/motherduck/motherduck_engine.h"

#include "velko/base/errors.h"
#include "velko/databases/factory_support/engines.h"
#include "velko/databases/factory_support/keyword_args.h"
#include "velko/platform/db_utils/urls.h"

namespace velko::databases::motherduck {
namespace {

// This factory's process-wide engine cache: made on first use, never destroyed (a cached
// engine may be in use by another thread at exit). Thread-safe through its own lock.
factory_support::EngineCache& cache() {
  static auto* instance = new factory_support::EngineCache(factory_support::ENGINE_CACHE_SIZE);
  return *instance;
}

}  // namespace

std::shared_ptr<platform::sql::Engine> create_motherduck_engine(const MotherduckEngineArgs& args) {
  std::string key = Json::array({args.token, args.database}).dump();
  return cache().get_or_create(key, [&] {
    if (args.token.empty()) throw base::ValueError(MOTHERDUCK_REQUIRED_MESSAGE);
    platform::db_utils::MotherduckUrlArgs url_args;
    url_args.token = args.token;
    url_args.database = args.database;
    return factory_support::create_pre_ping_engine(platform::db_utils::build_motherduck_url(url_args));
  });
}

std::shared_ptr<platform::sql::Engine> create_motherduck_engine(const Json& kwargs) {
  factory_support::KeywordArgs args("create_motherduck_engine", kwargs, {"token", "database"});
  args.require({"token"});
  MotherduckEngineArgs typed;
  typed.token = args.text("token");
  typed.database = args.text_or("database", "");
  return create_motherduck_engine(typed);
}

factory_support::CacheInfo engine_cache_info() { return cache().info(); }
void clear_engine_cache() { cache().clear(); }

}  // namespace velko::databases::motherduck
