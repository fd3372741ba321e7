#include "velko/platform/config/local_config.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <mutex>
#include <system_error>
#include <unordered_map>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/files.h"

namespace velko::platform::config {
namespace {

// Holds an exclusive advisory lock on `path` while in scope.
class FileLock {
 public:
  explicit FileLock(const std::filesystem::path& path) {
    try {
      base::create_private_directories(path.parent_path());
    } catch (const base::OSError&) {
      // The open below fails too, and the write that follows reports why.
    }
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ >= 0) {
      ::fchmod(fd_, 0600);  // the umask may have taken the owner's bits
      ::flock(fd_, LOCK_EX);
    }
  }
  ~FileLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_ = -1;
};

// What identifies one version of a file: a write replaces the file (a new inode) or at
// least changes its modification time and size.
struct FileVersion {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  struct timespec modified {};
  struct timespec changed {};

  bool operator==(const FileVersion& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
           changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
  }
};

// The parsed documents by path, each with the version of the file it was read from: a
// file is read again only when it changed, so a tool call does not parse the same JSON
// on every call. The version is taken before the file is read, so a write racing the
// read makes the next look-up read the file again. A file whose content or inode
// changed in the last two seconds is not cached: file times advance in clock ticks, so
// a same-size rewrite in place within one tick would keep its version (the check git
// makes for its index).
class DocumentCache {
 public:
  std::shared_ptr<const Json> find(const std::string& path, const FileVersion& version) {
    std::lock_guard lock(mu_);
    auto found = documents_.find(path);
    if (found == documents_.end() || !(found->second.first == version)) return nullptr;
    return found->second.second;
  }
  void store(const std::string& path, const FileVersion& version, std::shared_ptr<const Json> document) {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (std::max(version.modified.tv_sec, version.changed.tv_sec) + 2 > now.tv_sec) return;
    std::lock_guard lock(mu_);
    documents_[path] = {version, std::move(document)};
  }

 private:
  std::mutex mu_;
  std::unordered_map<std::string, std::pair<FileVersion, std::shared_ptr<const Json>>> documents_;  // guarded by mu_
};

// The process-wide cache of parsed configuration files, by path: an entry is used while
// the file (device, inode, size, modification and change times) is unchanged. Made on
// first use, never destroyed; guarded by its own lock.
DocumentCache& document_cache() {
  static DocumentCache* cache = new DocumentCache();
  return *cache;
}

}  // namespace

std::filesystem::path velko_home() { return std::filesystem::path(base::home_dir()) / ".velko"; }

LocalConfigStore::LocalConfigStore(std::optional<std::filesystem::path> path)
    : path_(path ? *path : velko_home() / "config.json") {}

Json LocalConfigStore::load() const { return *document(); }

std::shared_ptr<const Json> LocalConfigStore::document() const {
  struct stat info {};
  if (::stat(path_.c_str(), &info) != 0) return std::make_shared<const Json>(Json::object());  // no file: empty
  const FileVersion version{info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
  if (std::shared_ptr<const Json> cached = document_cache().find(path_.string(), version)) return cached;
  std::string text = base::read_file(path_);
  auto document = std::make_shared<Json>();
  try {
    *document = base::loads(text);  // bounded nesting; numbers out of range are refused too
  } catch (const base::ValueError&) {
    throw base::ValueError("configuration file " + path_.string() + " is not valid JSON");
  }
  if (!document->is_object()) throw base::ValueError("configuration file " + path_.string() + " is not a JSON object");
  document_cache().store(path_.string(), version, document);
  return document;
}

void LocalConfigStore::save(const Json& document) const {
  base::write_file_atomic(path_, document.dump(2) + "\n", 0600);
}

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
  std::shared_ptr<const Json> stored = document();
  const Json& root = *stored;
  auto connections = root.find("connections");
  if (connections == root.end() || !connections->is_object()) return nullptr;
  std::string name;
  if (connection_id && !connection_id->empty()) {
    name = *connection_id;
  } else {
    auto found = root.find("default_connection");
    if (found == root.end() || !found->is_string()) return nullptr;
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
