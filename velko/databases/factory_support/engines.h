// What the three engine factories share: creating an engine the way they all do, and
// describing one as JSON for the registry's operations.
#pragma once

#include <memory>
#include <string_view>

#include "velko/base/json.h"
#include "velko/databases/factory_support/engine_cache.h"
#include "velko/platform/sql/engine.h"

namespace velko::databases::factory_support {

// Room in each factory's cache.
inline constexpr size_t ENGINE_CACHE_SIZE = 256;

using EngineCache = LruCache<std::string, std::shared_ptr<platform::sql::Engine>>;

// create_engine(url) with pool_pre_ping true and no other option changed, after making
// sure the remote warehouse drivers are registered. Throws create_engine's errors.
std::shared_ptr<platform::sql::Engine> create_pre_ping_engine(std::string_view url);

// {"url": the URL with its secrets replaced by "***", "drivername": ..., "pool_pre_ping": true}
Json describe_engine(const platform::sql::Engine& engine);

// {"hits": .., "misses": .., "maxsize": .., "currsize": ..}
Json cache_info_json(const CacheInfo& info);

}  // namespace velko::databases::factory_support
