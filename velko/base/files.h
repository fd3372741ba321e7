// File helpers over POSIX calls; errors become OSError kinds with the path and the
// system's message (FileNotFoundError, PermissionError, OSError).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace velko::base {

// The whole file as bytes.
std::string read_file(const std::filesystem::path& path);

// Writes `data` to `path` atomically: a temporary file in the same directory is written,
// flushed to disk, given `mode`, then renamed over `path`. A crash leaves either the old
// file or the new one, never a partial one. Creates missing parent directories (0700).
void write_file_atomic(const std::filesystem::path& path, std::string_view data,
                       unsigned mode = 0600);

// Throws the OSError kind matching `errno_value`, with "{what}: {path}: {strerror}".
[[noreturn]] void throw_os_error(int errno_value, std::string_view what,
                                 const std::filesystem::path& path);

}  // namespace velko::base
