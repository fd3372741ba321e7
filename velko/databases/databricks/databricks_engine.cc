#include "velko/databases/databricks/databricks_engine.h"

#include "velko/base/errors.h"
#include "velko/databases/factory_support/engines.h"
#include "velko/databases/factory_support/keyword_args.h"
#include "velko/platform/db_utils/urls.h"

namespace velko::databases::databricks {
namespace {

// This factory's process-wide engine cache: made on first use, never destroyed (a cached
// engine may be in use by another thread at exit). Thread-safe through its own lock.
factory_support::EngineCache& cache() {
  static auto* instance = new factory_support::EngineCache(factory_support::ENGINE_CACHE_SIZE);
  return *instance;
}

Json optional_json(const std::optional<std::string>& value) { return value ? Json(*value) : Json(nullptr); }

}  // namespace

std::shared_ptr<platform::sql::Engine> create_databricks_engine(const DatabricksEngineArgs& args) {
  std::string key =
      Json::array({args.host, args.http_path, args.token, optional_json(args.catalog), optional_json(args.schema)})
          .dump();
  return cache().get_or_create(key, [&] {
    if (args.host.empty() || args.http_path.empty() || args.token.empty()) {
      throw base::ValueError(DATABRICKS_REQUIRED_MESSAGE);
    }
    platform::db_utils::DatabricksUrlArgs url_args;
    url_args.host = args.host;
    url_args.http_path = args.http_path;
    url_args.token = args.token;
    url_args.catalog = args.catalog.value_or("");
    url_args.schema = args.schema.value_or("");
    return factory_support::create_pre_ping_engine(platform::db_utils::build_databricks_url(url_args));
  });
}

std::shared_ptr<platform::sql::Engine> create_databricks_engine(const Json& kwargs) {
  factory_support::KeywordArgs args("create_databricks_engine", kwargs,
                                    {"host", "http_path", "token", "catalog", "schema"});
  args.require({"host", "http_path", "token"});
  DatabricksEngineArgs typed;
  typed.host = args.text("host");
  typed.http_path = args.text("http_path");
  typed.token = args.text("token");
  typed.catalog = args.optional_text("catalog");
  typed.schema = args.optional_text("schema");
  return create_databricks_engine(typed);
}

factory_support::CacheInfo engine_cache_info() { return cache().info(); }
void clear_engine_cache() { cache().clear(); }

}  // namespace velko::databases::databricks
