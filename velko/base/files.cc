#include "velko/base/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "velko/base/errors.h"

namespace velko::base {

void throw_os_error(int errno_value, std::string_view what, const std::filesystem::path& path) {
  std::string message = "[Errno " + std::to_string(errno_value) + "] " + std::strerror(errno_value) +
                        ": '" + path.string() + "'";
  (void)what;
  if (errno_value == ENOENT) throw FileNotFoundError(message);
  if (errno_value == EACCES || errno_value == EPERM) throw PermissionError(message);
  throw OSError(message);
}

std::string read_file(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw_os_error(errno, "open", path);
  std::string data;
  char buffer[65536];
  while (true) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      ::close(fd);
      throw_os_error(saved, "read", path);
    }
    if (got == 0) break;
    data.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  return data;
}

void write_file_atomic(const std::filesystem::path& path, std::string_view data, unsigned mode) {
  std::filesystem::path dir = path.parent_path();
  if (!dir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) throw_os_error(ec.value(), "mkdir", dir);
  }
  std::random_device random;
  std::filesystem::path temp = path;
  temp += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(random());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) throw_os_error(errno, "open", temp);
  auto fail = [&](int saved) {
    ::close(fd);
    ::unlink(temp.c_str());
    throw_os_error(saved, "write", path);
  };
  if (::fchmod(fd, mode) != 0) fail(errno);
  size_t written = 0;
  while (written < data.size()) {
    ssize_t put = ::write(fd, data.data() + written, data.size() - written);
    if (put < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    written += static_cast<size_t>(put);
  }
  if (::fsync(fd) != 0) fail(errno);
  if (::close(fd) != 0) {
    int saved = errno;
    ::unlink(temp.c_str());
    throw_os_error(saved, "close", path);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    int saved = errno;
    ::unlink(temp.c_str());
    throw_os_error(saved, "rename", path);
  }
  if (!dir.empty()) {
    int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
      ::fsync(dir_fd);
      ::close(dir_fd);
    }
  }
}

}  // namespace velko::base
