// Plug-ins: shared objects that register a module's factories with a Registry.
//
// A plug-in exports two C functions (VELKO_PLUGIN writes them):
//   int  velko_plugin_abi_version(void);           // must equal VELKO_PLUGIN_ABI_VERSION
//   bool velko_plugin_init_v1(velko::host::Registry*);  // registers, returns success
// The entry point only hands factories to the registry. No exception crosses it: an
// ordinary error while registering makes it return false.
//
// PluginLoader finds "velko_<name>.so" in the directories of VELKO_PLUGIN_PATH
// (colon-separated), then beside the running program (<exe>/../lib/velko/plugins, then
// <exe>/../plugins, which is the build tree's layout). It loads each plug-in once.
// Thread-safe.
#pragma once

#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "velko/host/registry.h"

#define VELKO_PLUGIN_ABI_VERSION 1
#define VELKO_PLUGIN_EXPORT __attribute__((visibility("default")))

// Defines the entry points of a plug-in whose module registers with `register_fn`.
#define VELKO_PLUGIN(register_fn)                                                           \
  extern "C" VELKO_PLUGIN_EXPORT int velko_plugin_abi_version() { return VELKO_PLUGIN_ABI_VERSION; } \
  extern "C" VELKO_PLUGIN_EXPORT bool velko_plugin_init_v1(::velko::host::Registry* registry) {    \
    try {                                                                                   \
      register_fn(*registry);                                                               \
      return true;                                                                          \
    } catch (const std::exception&) {                                                       \
      return false;                                                                         \
    }                                                                                       \
  }

namespace velko::host {

class PluginLoader {
 public:
  // Plug-ins register into `registry`, which must outlive the loader.
  explicit PluginLoader(Registry& registry);

  // The directories searched, in order.
  std::vector<std::filesystem::path> search_path() const;

  // Loads plug-in `name` (such as "analyst") unless it is loaded already. Throws
  // ModuleNotFoundError "Plug-in 'name' not found (searched: ...)" when no file is
  // found, ImportError naming the file when it cannot be loaded, has no entry point,
  // reports another ABI version ("incompatible: ABI version N, this program needs 1"),
  // or fails to register.
  void load(const std::string& name);

  // Whether `name` has been loaded.
  bool loaded(const std::string& name) const;

 private:
  Registry& registry_;
  mutable std::mutex mu_;
  std::set<std::string> loaded_;  // guarded by mu_
};

// The directory of the running program.
std::filesystem::path executable_dir();

}  // namespace velko::host
