#include "velko/platform/storage/s3_storage.h"

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/files.h"
#include "velko/base/strings.h"

namespace velko::platform::storage {

namespace fs = std::filesystem;

namespace {

constexpr size_t MAX_KEY_BYTES = 1024;

void check_key(const std::string& key) {
  auto invalid = [&key](const std::string& why) {
    throw base::ValueError("Invalid storage key " + base::quote(key) + ": " + why);
  };
  if (key.empty()) invalid("it is empty");
  if (key.size() > MAX_KEY_BYTES) invalid("it is longer than 1024 bytes");
  if (key.find('\0') != std::string::npos || key.find('\\') != std::string::npos) {
    invalid("it contains NUL or a backslash");
  }
  for (std::string_view part : base::split(key, '/')) {
    if (part.empty() || part == "." || part == "..") invalid("every part between '/' must be a plain name");
  }
}

}  // namespace

fs::path default_storage_root() {
  if (auto root = base::getenv_opt("VELKO_STORAGE_ROOT"); root && !root->empty()) return *root;
  return fs::path(base::home_dir()) / ".velko" / "storage";
}

std::string file_url(const fs::path& path) {
  static const char* HEX = "0123456789ABCDEF";
  std::string url = "file://";
  for (unsigned char c : path.string()) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
                 c == '_' || c == '~' || c == '/';
    if (plain) {
      url += static_cast<char>(c);
    } else {
      url += '%';
      url += HEX[c >> 4];
      url += HEX[c & 15];
    }
  }
  return url;
}

S3Storage::S3Storage(std::optional<fs::path> root) : root_(std::move(root)) {}

fs::path S3Storage::root() const { return fs::absolute(root_ ? *root_ : default_storage_root()).lexically_normal(); }

fs::path S3Storage::path_for(const std::string& key) const {
  check_key(key);
  return root() / key;
}

Json S3Storage::upload_chart(const std::string& key, std::string_view data, const std::string& content_type) {
  fs::path path = path_for(key);
  if (content_type.empty()) throw base::ValueError("content_type must not be empty");
  base::write_file_atomic(path, data, 0600);  // under ~/.velko: private like every file there
  return Json{{"url", file_url(path)}, {"key", key}};
}

}  // namespace velko::platform::storage
