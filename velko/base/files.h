// File helpers over POSIX calls; errors become OSError kinds with the path and the
// system's message (FileNotFoundError, PermissionError, OSError).
//
// The product's own files are private: every directory these helpers create has mode
// 0700 and every file they write the mode asked for (0600 unless said otherwise),
// exactly, whatever the process's umask. Directories that already exist keep their mode.
// All functions are thread-safe (no shared state); the *_at forms never follow a
// symbolic link at the name they are given.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace velko::base {

// An owned file descriptor, closed when destroyed. Movable, not copyable. -1 holds none.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

// The whole file as bytes.
std::string read_file(const std::filesystem::path& path);

// Writes `data` to `path` atomically: a temporary file in the same directory is written,
// flushed to disk, given `mode`, then renamed over `path`. A crash leaves either the old
// file or the new one, never a partial one. Creates missing parent directories (0700).
void write_file_atomic(const std::filesystem::path& path, std::string_view data, unsigned mode = 0600);

// Creates `path` and every missing parent as directories of mode 0700. Existing ones
// (symbolic links to directories included) are left as they are. Throws the OSError
// kinds (OSError with ENOTDIR's text when a component is not a directory).
void create_private_directories(const std::filesystem::path& path);

// Opens the directory `path` (links followed) for the *_at functions below.
FileDescriptor open_directory(const std::filesystem::path& path);

// Opens the directory `name` (one path component) inside the directory `parent_fd`
// without following a symbolic link, creating it with mode 0700 when it is missing.
// Returns an invalid descriptor, changing nothing, when `name` is a symbolic link or
// something other than a directory. `shown` is the path used in error texts. Throws the
// OSError kinds for any other failure.
FileDescriptor open_private_subdirectory(int parent_fd, const std::string& name, const std::filesystem::path& shown);

// The file `name` inside the directory `dir_fd`, opened without following a symbolic
// link (a link there throws OSError, ELOOP).
std::string read_file_at(int dir_fd, const std::string& name, const std::filesystem::path& shown);

// write_file_atomic for the file `name` inside the directory `dir_fd`. What stood at
// `name` is replaced, never written through: a symbolic link there is replaced itself.
void write_file_atomic_at(int dir_fd, const std::string& name, std::string_view data, unsigned mode,
                          const std::filesystem::path& shown);

// Throws the OSError kind matching `errno_value`, with "{what}: {path}: {strerror}".
[[noreturn]] void throw_os_error(int errno_value, std::string_view what, const std::filesystem::path& path);

}  // namespace velko::base
