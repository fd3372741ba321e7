// A fresh temporary directory for a test, removed with everything in it when the object
// dies. Header-only, for the unit tests beside the modules and the tests in tests/.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace velko::testing {

class TempDir {
 public:
  // A new directory "<system temp>/<prefix>-XXXXXX". Throws std::runtime_error when it
  // cannot be made.
  explicit TempDir(const std::string& prefix = "velko-test") {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace velko::testing
