#include "velko/platform/skills_loader/loader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <system_error>
#include <vector>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/files.h"
#include "velko/base/logging.h"
#include "velko/base/printable.h"

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

int copy_into_subdirectory(const fs::path& source, int parent_fd, const std::string& name, const fs::path& shown);

void check(const std::error_code& ec, std::string_view what, const fs::path& path) {
  if (ec) base::throw_os_error(ec.value(), what, path);
}

base::Logger& logger() { return base::get_logger(LOGGER_NAME); }

void report_link_in_the_way(const fs::path& shown) {
  logger().warning("Not copying shipped skills to " + base::printable_text(shown.string(), base::LineBreaks::kJoin) +
                   ": a symbolic link or another kind of file is in the way; it is left alone");
}

// Writes `data` as the file `name` inside `dir_fd` unless it already holds exactly these
// bytes. A symbolic link (or anything but a regular file) at `name` is reported and left
// alone.
bool write_if_changed(int dir_fd, const std::string& name, const std::string& data, const fs::path& shown) {
  struct stat info {};
  if (::fstatat(dir_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISREG(info.st_mode)) {
      report_link_in_the_way(shown);
      return false;
    }
    if (static_cast<size_t>(info.st_size) == data.size()) {
      try {
        if (base::read_file_at(dir_fd, name, shown) == data) return false;
      } catch (const base::OSError&) {
        // Unreadable copy: replace it below.
      }
    }
  }
  base::write_file_atomic_at(dir_fd, name, data, 0600, shown);
  return true;
}

// Copies the tree `source` into the directory `target_fd` (shown as `target`).
int copy_tree(const fs::path& source, int target_fd, const fs::path& target) {
  int written = 0;
  std::error_code ec;
  fs::directory_iterator it(source, ec);
  check(ec, "scandir", source);
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    check(ec, "scandir", source);
    const fs::path& entry = it->path();
    if (hidden_or_private(entry)) continue;
    const std::string name = entry.filename().string();
    std::error_code type_ec;
    auto link_status = it->symlink_status(type_ec);
    if (type_ec) continue;
    if (fs::is_directory(link_status)) {
      written += copy_into_subdirectory(entry, target_fd, name, target / name);
    } else if (fs::is_regular_file(it->status(type_ec)) && !type_ec) {
      written += write_if_changed(target_fd, name, base::read_file(entry), target / name) ? 1 : 0;
    }
  }
  check(ec, "scandir", source);
  return written;
}

// Copies `source` into the directory `name` of `parent_fd`, created when missing; a link
// or a file at `name` is reported and nothing is copied there.
int copy_into_subdirectory(const fs::path& source, int parent_fd, const std::string& name, const fs::path& shown) {
  base::FileDescriptor dir = base::open_private_subdirectory(parent_fd, name, shown);
  if (!dir.valid()) {
    report_link_in_the_way(shown);
    return 0;
  }
  return copy_tree(source, dir.get(), shown);
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
  // The skills root itself may be a link the user made; below it nothing is followed.
  const fs::path skills_root = target.parent_path();
  base::create_private_directories(skills_root);
  base::FileDescriptor root = base::open_directory(skills_root);
  base::FileDescriptor default_dir = base::open_private_subdirectory(root.get(), target.filename().string(), target);
  if (!default_dir.valid()) {
    report_link_in_the_way(target);
    return 0;
  }
  int written = 0;
  std::error_code ec;
  fs::directory_iterator it(source, ec);
  check(ec, "scandir", source);
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    check(ec, "scandir", source);
    if (hidden_or_private(it->path())) continue;
    std::error_code type_ec;
    if (!fs::is_directory(it->status(type_ec)) || type_ec) continue;
    const std::string name = it->path().filename().string();
    written += copy_into_subdirectory(it->path(), default_dir.get(), name, target / name);
  }
  check(ec, "scandir", source);
  return written;
}

}  // namespace velko::platform::skills_loader
