#include "velko/platform/skills_loader/loader.h"

#include <unistd.h>

#include <system_error>
#include <vector>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/files.h"

#ifndef VELKO_SOURCE_SKILLS_DIR
#define VELKO_SOURCE_SKILLS_DIR "skills"
#endif

namespace velko::platform::skills_loader {
namespace fs = std::filesystem;

namespace {

std::optional<fs::path> executable_path() {
  std::vector<char> buffer(4096);
  ssize_t got = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (got <= 0 || static_cast<size_t>(got) >= buffer.size()) return std::nullopt;
  return fs::path(std::string(buffer.data(), static_cast<size_t>(got)));
}

bool directory_exists(const fs::path& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

bool hidden_or_private(const fs::path& name) {
  const std::string text = name.filename().string();
  return !text.empty() && (text[0] == '_' || text[0] == '.');
}

void check(const std::error_code& ec, std::string_view what, const fs::path& path) {
  if (ec) base::throw_os_error(ec.value(), what, path);
}

// Writes `data` to `target` unless it already holds exactly these bytes.
bool write_if_changed(const fs::path& target, const std::string& data) {
  std::error_code ec;
  if (fs::is_regular_file(target, ec) && fs::file_size(target, ec) == data.size() && !ec) {
    try {
      if (base::read_file(target) == data) return false;
    } catch (const base::OSError&) {
      // Unreadable copy: replace it below.
    }
  }
  base::write_file_atomic(target, data, 0644);
  return true;
}

int copy_tree(const fs::path& source, const fs::path& target) {
  int written = 0;
  std::error_code ec;
  fs::directory_iterator it(source, ec);
  check(ec, "scandir", source);
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    check(ec, "scandir", source);
    const fs::path& entry = it->path();
    if (hidden_or_private(entry)) continue;
    std::error_code type_ec;
    auto link_status = it->symlink_status(type_ec);
    if (type_ec) continue;
    if (fs::is_directory(link_status)) {
      written += copy_tree(entry, target / entry.filename());
    } else if (fs::is_regular_file(it->status(type_ec)) && !type_ec) {
      written += write_if_changed(target / entry.filename(), base::read_file(entry)) ? 1 : 0;
    }
  }
  check(ec, "scandir", source);
  return written;
}

}  // namespace

fs::path BUNDLED_SKILLS_DIR() {
  if (auto exe = executable_path()) {
    fs::path installed = exe->parent_path().parent_path() / "share" / "velko" / "skills";
    if (directory_exists(installed)) return installed;
  }
  if (auto from_env = base::getenv_opt("VELKO_SKILLS_DIR"); from_env && !from_env->empty()) {
    return fs::path(*from_env);
  }
  return fs::path(VELKO_SOURCE_SKILLS_DIR);
}

fs::path DEFAULT_SKILLS_TARGET_DIR() { return fs::path(base::home_dir()) / ".velko" / "skills" / "default"; }

int copy_default_skills() {
  const fs::path source = BUNDLED_SKILLS_DIR();
  if (!directory_exists(source)) return 0;
  const fs::path target = DEFAULT_SKILLS_TARGET_DIR();
  int written = 0;
  std::error_code ec;
  fs::directory_iterator it(source, ec);
  check(ec, "scandir", source);
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    check(ec, "scandir", source);
    if (hidden_or_private(it->path())) continue;
    std::error_code type_ec;
    if (!fs::is_directory(it->status(type_ec)) || type_ec) continue;
    written += copy_tree(it->path(), target / it->path().filename());
  }
  check(ec, "scandir", source);
  return written;
}

}  // namespace velko::platform::skills_loader
