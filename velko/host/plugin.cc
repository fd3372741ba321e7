#include "velko/host/plugin.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/strings.h"

namespace velko::host {

std::filesystem::path executable_dir() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::filesystem::current_path();
  return exe.parent_path();
}

namespace {
std::atomic<PluginLoader*> installed_loader{nullptr};
}  // namespace

PluginLoader& process_plugin_loader() {
  if (PluginLoader* loader = installed_loader.load(std::memory_order_acquire)) return *loader;
  // Never destroyed: plug-ins stay loaded until the process ends.
  static PluginLoader* own = new PluginLoader(*new Registry());
  return *own;
}

void set_process_plugin_loader(PluginLoader* loader) { installed_loader.store(loader, std::memory_order_release); }

void load_plugin(const std::string& name) { process_plugin_loader().load(name); }

PluginLoader::PluginLoader(Registry& registry) : registry_(registry) {}

std::vector<std::filesystem::path> PluginLoader::search_path() const {
  std::vector<std::filesystem::path> dirs;
  if (auto env = base::getenv_opt("VELKO_PLUGIN_PATH")) {
    for (auto piece : base::split(*env, ':')) {
      if (!piece.empty()) dirs.emplace_back(std::string(piece));
    }
  }
  auto exe = executable_dir();
  dirs.push_back(exe.parent_path() / "lib" / "velko" / "plugins");
  dirs.push_back(exe.parent_path() / "plugins");
  return dirs;
}

bool PluginLoader::loaded(const std::string& name) const {
  std::lock_guard lock(mu_);
  return loaded_.count(name) > 0;
}

void PluginLoader::load(const std::string& name) {
  std::lock_guard lock(mu_);
  if (loaded_.count(name)) return;
  std::string file_name = "velko_" + name + ".so";
  std::filesystem::path found;
  std::string searched;
  for (const auto& dir : search_path()) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(dir / file_name, ec)) {
      found = dir / file_name;
      break;
    }
    searched += (searched.empty() ? "" : ", ") + dir.string();
  }
  if (found.empty()) {
    throw base::ModuleNotFoundError("Plug-in '" + name + "' not found (searched: " + searched + ")");
  }
  void* handle = ::dlopen(found.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = ::dlerror();
    throw base::ImportError("Plug-in '" + name + "' could not be loaded from " + found.string() + ": " +
                            (reason ? reason : "unknown error"));
  }
  auto version_fn = reinterpret_cast<int (*)()>(::dlsym(handle, "velko_plugin_abi_version"));
  auto init_fn = reinterpret_cast<bool (*)(Registry*)>(::dlsym(handle, "velko_plugin_init_v1"));
  if (version_fn == nullptr || init_fn == nullptr) {
    ::dlclose(handle);
    throw base::ImportError("Plug-in '" + name + "' at " + found.string() + " has no velko entry point");
  }
  int version = version_fn();
  if (version != VELKO_PLUGIN_ABI_VERSION) {
    ::dlclose(handle);
    throw base::ImportError("Plug-in '" + name + "' at " + found.string() + " is incompatible: ABI version " +
                            std::to_string(version) + ", this program needs " +
                            std::to_string(VELKO_PLUGIN_ABI_VERSION));
  }
  if (!init_fn(&registry_)) {
    // Registered factories may point into the plug-in: keep it loaded.
    throw base::ImportError("Plug-in '" + name + "' at " + found.string() + " failed to register");
  }
  loaded_.insert(name);  // the handle stays open for the life of the process
}

}  // namespace velko::host
