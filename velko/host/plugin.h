// Plug-ins: shared objects that register a module's factories with a Registry.
//
// A plug-in exports two C functions (VELKO_PLUGIN writes them):
//   int  velko_plugin_abi_version(void);           // must equal VELKO_PLUGIN_ABI_VERSION
//   bool velko_plugin_init_v1(velko::host::Registry*);  // registers, returns success
// The entry point only hands what the module offers (factories, operations, components)
// to the registry it is given, and writes nowhere else. No exception crosses it: an
// ordinary error while registering makes it return false.
//
// PluginLoader finds "velko_<name>.so" in the directories of VELKO_PLUGIN_PATH
// (colon-separated), then beside the running program (<exe>/../lib/velko/plugins, then
// <exe>/../plugins, which is the build tree's layout). It loads each plug-in once.
// Thread-safe.
//
// A module that needs another module only on some paths loads that module's plug-in at
// run time with load_plugin(name) instead of linking it: the process's loader (the one
// the host installed with set_process_plugin_loader, else one of its own) finds and loads
// it into that loader's registry, where the caller then looks up what it needs:
//
//   host::PluginLoader& loader = host::process_plugin_loader();
//   loader.load("scout");
//   auto make = loader.registry().component(WEB_SEARCH_CLIENTS, TAVILY_PROXY_CLIENT);
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
#define VELKO_PLUGIN(register_fn)                                                                    \
  extern "C" VELKO_PLUGIN_EXPORT int velko_plugin_abi_version() { return VELKO_PLUGIN_ABI_VERSION; } \
  extern "C" VELKO_PLUGIN_EXPORT bool velko_plugin_init_v1(::velko::host::Registry* registry) {      \
    try {                                                                                            \
      register_fn(*registry);                                                                        \
      return true;                                                                                   \
    } catch (const std::exception&) {                                                                \
      return false;                                                                                  \
    }                                                                                                \
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

  // The registry this loader's plug-ins register into.
  Registry& registry() const { return registry_; }

 private:
  Registry& registry_;
  mutable std::mutex mu_;
  std::set<std::string> loaded_;  // guarded by mu_
};

// The process's plug-in loader: the one installed with set_process_plugin_loader, else a
// process-wide loader made on first use that registers into a registry of its own (both
// never destroyed).
// A module that loads a plug-in on its own finds what the plug-in registered in
// process_plugin_loader().registry(). Thread-safe.
PluginLoader& process_plugin_loader();

// Makes `loader` the process's plug-in loader (nullptr goes back to the loader of its own).
// The loader is not owned and must outlive every later use. The velko command installs the
// loader of its registry, so plug-ins loaded on a module's request register there too.
// Thread-safe; a call already loading through the previous loader finishes with it.
void set_process_plugin_loader(PluginLoader* loader);

// process_plugin_loader().load(name): loads plug-in `name` unless it is loaded already,
// throwing ModuleNotFoundError or ImportError as PluginLoader::load does. Must not be called
// from a plug-in's registration (the loader is busy with that plug-in).
void load_plugin(const std::string& name);

// The directory of the running program.
std::filesystem::path executable_dir();

}  // namespace velko::host
