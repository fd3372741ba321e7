#include "velko/base/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "velko/base/errors.h"

namespace velko::base {
namespace {

constexpr unsigned kPrivateDirectoryMode = 0700;

// Reads everything from `fd` (which it closes).
std::string read_all(FileDescriptor fd, const std::filesystem::path& shown) {
  std::string data;
  char buffer[65536];
  while (true) {
    ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw_os_error(errno, "read", shown);
    }
    if (got == 0) break;
    data.append(buffer, static_cast<size_t>(got));
  }
  return data;
}

// Makes the directory `name` inside `parent_fd` with mode 0700 exactly. Returns false
// when something already stands at `name`.
bool make_private_directory_at(int parent_fd, const std::string& name, const std::filesystem::path& shown) {
  if (::mkdirat(parent_fd, name.c_str(), kPrivateDirectoryMode) != 0) {
    if (errno == EEXIST) return false;
    throw_os_error(errno, "mkdir", shown);
  }
  // The umask may have taken bits away, even the owner's (so the new directory may not
  // be open for reading yet): set the mode by name.
  if (::fchmodat(parent_fd, name.c_str(), kPrivateDirectoryMode, 0) != 0) throw_os_error(errno, "chmod", shown);
  return true;
}

}  // namespace

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

void throw_os_error(int errno_value, std::string_view what, const std::filesystem::path& path) {
  std::string message =
      "[Errno " + std::to_string(errno_value) + "] " + std::strerror(errno_value) + ": '" + path.string() + "'";
  (void)what;
  if (errno_value == ENOENT) throw FileNotFoundError(message);
  if (errno_value == EACCES || errno_value == EPERM) throw PermissionError(message);
  throw OSError(message);
}

std::string read_file(const std::filesystem::path& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) throw_os_error(errno, "open", path);
  return read_all(std::move(fd), path);
}

std::string read_file_at(int dir_fd, const std::string& name, const std::filesystem::path& shown) {
  FileDescriptor fd(::openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) throw_os_error(errno, "open", shown);
  return read_all(std::move(fd), shown);
}

void create_private_directories(const std::filesystem::path& path) {
  std::filesystem::path absolute = path.is_absolute() ? path : std::filesystem::absolute(path);
  std::filesystem::path reached = absolute.root_path();
  for (const auto& part : absolute.relative_path()) {
    if (part.empty() || part == ".") continue;
    reached /= part;
    if (part == "..") continue;
    if (::mkdir(reached.c_str(), kPrivateDirectoryMode) == 0) {
      if (::chmod(reached.c_str(), kPrivateDirectoryMode) != 0) throw_os_error(errno, "chmod", reached);  // umask
      continue;
    }
    if (errno != EEXIST) throw_os_error(errno, "mkdir", reached);
    struct stat info {};
    if (::stat(reached.c_str(), &info) != 0) throw_os_error(errno, "stat", reached);
    if (!S_ISDIR(info.st_mode)) throw_os_error(ENOTDIR, "mkdir", reached);
  }
}

FileDescriptor open_directory(const std::filesystem::path& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) throw_os_error(errno, "open", path);
  return fd;
}

FileDescriptor open_private_subdirectory(int parent_fd, const std::string& name, const std::filesystem::path& shown) {
  make_private_directory_at(parent_fd, name, shown);
  FileDescriptor fd(::openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.valid()) return fd;
  if (errno == ELOOP || errno == ENOTDIR) return FileDescriptor();  // a link or a file in the way
  throw_os_error(errno, "open", shown);
}

void write_file_atomic_at(int dir_fd, const std::string& name, std::string_view data, unsigned mode,
                          const std::filesystem::path& shown) {
  std::random_device random;
  const std::string temp = name + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(random());
  FileDescriptor fd(::openat(dir_fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!fd.valid()) throw_os_error(errno, "open", shown);
  auto fail = [&](int saved, std::string_view what) {
    fd = FileDescriptor();
    ::unlinkat(dir_fd, temp.c_str(), 0);
    throw_os_error(saved, what, shown);
  };
  if (::fchmod(fd.get(), mode) != 0) fail(errno, "chmod");
  size_t written = 0;
  while (written < data.size()) {
    ssize_t put = ::write(fd.get(), data.data() + written, data.size() - written);
    if (put < 0) {
      if (errno == EINTR) continue;
      fail(errno, "write");
    }
    written += static_cast<size_t>(put);
  }
  if (::fsync(fd.get()) != 0) fail(errno, "fsync");
  if (::close(fd.release()) != 0) fail(errno, "close");
  if (::renameat(dir_fd, temp.c_str(), dir_fd, name.c_str()) != 0) fail(errno, "rename");
  ::fsync(dir_fd);
}

void write_file_atomic(const std::filesystem::path& path, std::string_view data, unsigned mode) {
  std::filesystem::path dir = path.parent_path();
  if (dir.empty()) dir = ".";
  create_private_directories(dir);
  FileDescriptor dir_fd = open_directory(dir);
  write_file_atomic_at(dir_fd.get(), path.filename().string(), data, mode, path);
}

}  // namespace velko::base
