#include "velko/host/config.h"

namespace velko::host {
namespace {
thread_local const Json* current_config = nullptr;
}  // namespace

const Json& get_config() {
  static const Json empty = Json::object();
  return current_config ? *current_config : empty;
}

Json get_configurable() {
  const Json& config = get_config();
  if (config.is_object()) {
    auto found = config.find("configurable");
    if (found != config.end() && found->is_object()) return *found;
  }
  return Json::object();
}

ConfigScope::ConfigScope(Json config) : config_(std::move(config)), previous_(current_config) {
  current_config = &config_;
}

ConfigScope::~ConfigScope() { current_config = previous_; }

}  // namespace velko::host
