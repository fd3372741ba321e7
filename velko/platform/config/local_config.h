// The local configuration store of a command-line installation: one JSON file,
// $HOME/.velko/config.json, holding the user's warehouse connections and settings.
//
//   {"default_connection": "warehouse",
//    "connections": {"warehouse": {"type": "POSTGRES", "host": ..., "password": ...}},
//    "app_url": "https://..."}
//
// A connection may carry "query_timeout" (seconds, a number): the time limit of each of
// its queries (see platform/warehouse: query_timeout). The URL builders ignore it.
//
// The file is written atomically with mode 0600. Every read checks the file on disk (its
// inode, size and times) and parses it again only when it changed, so changes by
// another process are seen at the next call. Functions are
// safe to call from several threads; concurrent writers of one file are serialized with
// an advisory lock on "config.json.lock".
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velko/base/json.h"

namespace velko::platform::config {

// $HOME/.velko
std::filesystem::path velko_home();

class LocalConfigStore {
 public:
  // The store at `path`, default velko_home()/config.json.
  explicit LocalConfigStore(std::optional<std::filesystem::path> path = std::nullopt);

  const std::filesystem::path& path() const { return path_; }

  // The whole document; an empty object when the file does not exist. Throws ValueError
  // when the file is not a JSON object, OSError when it cannot be read.
  Json load() const;

  // Adds or replaces a connection. `config` must be an object with a text "type".
  // The first connection added, or one added with make_default, becomes the default.
  void add_connection(const std::string& name, const Json& config, bool make_default);
  // Removes a connection; returns false when there was none of that name. Removing the
  // default leaves no default.
  bool remove_connection(const std::string& name);

  // Connection names in stored order, and the default's name.
  std::vector<std::string> connection_names() const;
  std::optional<std::string> default_connection() const;

  // The DatabaseConfig of `connection_id`, or of the default connection when the
  // identifier is absent or empty. Null when there is none. Throws on an unreadable file.
  Json database_config(const std::optional<std::string>& connection_id) const;

  // A top-level setting as text, or nullopt.
  std::optional<std::string> setting(const std::string& key) const;

 private:
  // The parsed file, shared with the read cache (never changed in place).
  std::shared_ptr<const Json> document() const;
  void save(const Json& document) const;
  std::filesystem::path path_;
};

// The DatabaseConfig for `connection_id` from the default store (see above).
Json get_local_database_config(const std::optional<std::string>& connection_id);

// Settings of the command-line installation.
struct Settings {
  // Base URL of the service's web application: $VELKO_APP_URL, else the store's
  // "app_url", else DEFAULT_APP_URL.
  std::string app_url;
};
inline constexpr const char* DEFAULT_APP_URL = "https://app.velko.dev";
Settings settings();

}  // namespace velko::platform::config
