// S3Storage: object storage for chart images.
//
// The stand-in keeps objects as files under a storage root ($VELKO_STORAGE_ROOT, else
// ~/.velko/storage): the object "charts/c1/a.png" is the file <root>/charts/c1/a.png, and
// its URL is that file's file:// URL. Uploads are atomic (a reader sees the old object or
// the new one) and safe to make from several threads.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "velko/base/json.h"

namespace velko::platform::storage {

// $VELKO_STORAGE_ROOT when set and non-empty, else ~/.velko/storage.
std::filesystem::path default_storage_root();

// The file:// URL of an absolute path, each byte outside letters, digits, "-._~/"
// percent-encoded.
std::string file_url(const std::filesystem::path& path);

class S3Storage {
 public:
  // The store under `root`; nullopt reads default_storage_root() at each upload.
  explicit S3Storage(std::optional<std::filesystem::path> root = std::nullopt);
  virtual ~S3Storage() = default;

  // Stores `data` under `key` and returns {"url": "file:///...", "key": key}. The key is
  // a relative path of non-empty components ("/"-separated, none "." or "..", no NUL or
  // backslash, at most 1024 bytes): anything else is a ValueError, and nothing is written.
  // `content_type` must be non-empty (ValueError); the file's name carries the type, so
  // nothing else records it. Throws OSError kinds when the file cannot be written.
  // Virtual so that tests can stand a recording or failing store in its place.
  virtual Json upload_chart(const std::string& key, std::string_view data, const std::string& content_type);

  // The file that holds `key` (after the same checks as upload_chart).
  std::filesystem::path path_for(const std::string& key) const;

 private:
  std::filesystem::path root() const;
  const std::optional<std::filesystem::path> root_;
};

}  // namespace velko::platform::storage
