// _build_connection_string: a DatabaseConfig to the connection URL of its type.
#pragma once

#include <string>

#include "velko/base/json.h"
#include "velko/platform/db_utils/config_url.h"

namespace velko::middleware::analyst {

// See platform::db_utils::build_url_for_config for the types, keys and errors.
inline std::string _build_connection_string(const Json& config) {
  return platform::db_utils::build_url_for_config(config);
}

}  // namespace velko::middleware::analyst
