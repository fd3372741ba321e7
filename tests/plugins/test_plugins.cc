// Plug-ins used by the loader tests; which one is built is chosen by a definition.
#include <stdexcept>

#include "velko/host/plugin.h"

namespace {

class NamedMiddleware : public velko::host::AgentMiddleware {
 public:
  std::string name() const override { return "TestGood"; }
};

[[maybe_unused]] void register_good(velko::host::Registry& registry) {
  registry.add_middleware("testgood",
                          [](const velko::host::MiddlewareContext&) { return std::make_shared<NamedMiddleware>(); });
}

[[maybe_unused]] void register_failing(velko::host::Registry&) { throw std::runtime_error("cannot register"); }

}  // namespace

#if defined(VELKO_TEST_PLUGIN_GOOD)
VELKO_PLUGIN(register_good)
#elif defined(VELKO_TEST_PLUGIN_FAILING)
VELKO_PLUGIN(register_failing)
#elif defined(VELKO_TEST_PLUGIN_BAD_ABI)
extern "C" VELKO_PLUGIN_EXPORT int velko_plugin_abi_version() { return VELKO_PLUGIN_ABI_VERSION + 1; }
extern "C" VELKO_PLUGIN_EXPORT bool velko_plugin_init_v1(velko::host::Registry* registry) {
  register_good(*registry);
  return true;
}
#else
// No entry point at all.
extern "C" VELKO_PLUGIN_EXPORT int velko_not_a_plugin() { return 0; }
#endif
