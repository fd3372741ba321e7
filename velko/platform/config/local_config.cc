#include "velko/platform/config/local_config.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <system_error>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/files.h"

namespace velko::platform::config {
namespace {

// Holds an exclusive advisory lock on `path` while in scope.
class FileLock {
 public:
  explicit FileLock(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
  }
  ~FileLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace

std::filesystem::path velko_home() { return std::filesystem::path(base::home_dir()) / ".velko"; }

LocalConfigStore::LocalConfigStore(std::optional<std::filesystem::path> path)
    : path_(path ? *path : velko_home() / "config.json") {}

Json LocalConfigStore::load() const {
  std::error_code ec;
  if (!std::filesystem::exists(path_, ec)) return Json::object();
  std::string text = base::read_file(path_);
  Json document;
  try {
    document = Json::parse(text);
  } catch (const Json::parse_error&) {
    throw base::ValueError("configuration file " + path_.string() + " is not valid JSON");
  }
  if (!document.is_object()) throw base::ValueError("configuration file " + path_.string() + " is not a JSON object");
  return document;
}

void LocalConfigStore::save(const Json& document) const { base::write_file_atomic(path_, document.dump(2) + "\n", 0600); }

void LocalConfigStore::add_connection(const std::string& name, const Json& config, bool make_default) {
  if (name.empty()) throw base::ValueError("connection name must not be empty");
  if (!config.is_object() || !config.contains("type") || !config["type"].is_string()) {
    throw base::ValueError("a connection needs a text 'type'");
  }
  FileLock lock(path_.string() + ".lock");
  Json document = load();
  if (!document.contains("connections") || !document["connections"].is_object()) {
    document["connections"] = Json::object();
  }
  document["connections"][name] = config;
  bool has_default = document.contains("default_connection") && document["default_connection"].is_string() &&
                     document["connections"].contains(document["default_connection"].get<std::string>());
  if (make_default || !has_default) document["default_connection"] = name;
  save(document);
}

bool LocalConfigStore::remove_connection(const std::string& name) {
  FileLock lock(path_.string() + ".lock");
  Json document = load();
  if (!document.contains("connections") || !document["connections"].is_object() ||
      !document["connections"].contains(name)) {
    return false;
  }
  document["connections"].erase(name);
  if (document.value("default_connection", Json()) == name) document.erase("default_connection");
  save(document);
  return true;
}

std::vector<std::string> LocalConfigStore::connection_names() const {
  Json document = load();
  std::vector<std::string> names;
  if (document.contains("connections") && document["connections"].is_object()) {
    for (const auto& [name, config] : document["connections"].items()) names.push_back(name);
  }
  return names;
}

std::optional<std::string> LocalConfigStore::default_connection() const {
  Json document = load();
  auto found = document.find("default_connection");
  if (found == document.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

Json LocalConfigStore::database_config(const std::optional<std::string>& connection_id) const {
  Json document = load();
  auto connections = document.find("connections");
  if (connections == document.end() || !connections->is_object()) return nullptr;
  std::string name;
  if (connection_id && !connection_id->empty()) {
    name = *connection_id;
  } else {
    auto found = document.find("default_connection");
    if (found == document.end() || !found->is_string()) return nullptr;
    name = found->get<std::string>();
  }
  auto found = connections->find(name);
  if (found == connections->end() || !found->is_object()) return nullptr;
  return *found;
}

std::optional<std::string> LocalConfigStore::setting(const std::string& key) const {
  Json document = load();
  auto found = document.find(key);
  if (found == document.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

Json get_local_database_config(const std::optional<std::string>& connection_id) {
  return LocalConfigStore().database_config(connection_id);
}

Settings settings() {
  if (auto env = base::getenv_opt("VELKO_APP_URL"); env && !env->empty()) return Settings{*env};
  if (auto stored = LocalConfigStore().setting("app_url"); stored && !stored->empty()) return Settings{*stored};
  return Settings{DEFAULT_APP_URL};
}

}  // namespace velko::platform::config
