// The local sandbox: the default provider behind sandbox::connect().
//
// Each sandbox id is a directory under the sandboxes root ($VELKO_SANDBOX_ROOT, else
// ~/.velko/sandboxes), created on first connect. Commands run under bubblewrap: the host
// file system read-only, a fresh /tmp, /dev and /proc per command, the user's home
// directory hidden, and the sandbox's directory mounted read-write at /home/user. So
// "/home/user/..." names the same file in commands and in file calls, and only what is
// under /home/user lasts from one command to the next.
//
// A command sees a clean environment (PATH, HOME=/home/user, USER, LANG, plus the
// command's own envs), never this process's variables. `python` inside resolves to the
// sandbox's interpreter (see LocalSandboxOptions::python) without changing command text.
//
// File calls map "/home/user/x" (or "x") to <root>/<id>/x and follow symbolic links the
// way the sandbox sees them; a path that leaves /home/user, lexically or through a link,
// is refused with PermissionError.
//
// Thread-safe: handles keep only values fixed at connect; every command is its own process.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "velko/platform/sandbox/sandbox.h"

namespace velko::platform::sandbox {

// The sandbox's home directory and PATH, as commands see them.
inline constexpr const char* SANDBOX_HOME = "/home/user";
inline constexpr const char* SANDBOX_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
// Where the `python` link lives inside the sandbox (first on PATH).
inline constexpr const char* SANDBOX_BIN = "/home/.sandbox/bin";

// $VELKO_SANDBOX_ROOT when set and non-empty, else ~/.velko/sandboxes.
std::filesystem::path default_sandboxes_root();

// True for an id usable as one directory name: 1 to 128 characters from ASCII letters,
// digits, "-", "_" and ".", not starting with ".".
bool is_safe_sandbox_id(std::string_view id);

struct LocalSandboxOptions {
  // The sandboxes root; nullopt reads default_sandboxes_root() at each connect.
  std::optional<std::filesystem::path> root;
  // The interpreter that `python` runs inside. nullopt: $VELKO_SANDBOX_PYTHON when set,
  // else `python`, else `python3`, looked up in SANDBOX_PATH.
  std::optional<std::string> python;
  // The bubblewrap program.
  std::string bwrap = "bwrap";
};

class LocalSandboxProvider : public SandboxProvider {
 public:
  explicit LocalSandboxProvider(LocalSandboxOptions options = {});

  // Validates `id` (ValueError "Invalid sandbox id: ..." when unsafe), creates its
  // directory when missing (OSError when it cannot) and returns a handle whose commands
  // may run for at most `timeout_seconds` each (must be positive, ValueError otherwise).
  std::shared_ptr<Sandbox> connect(const std::string& id, int timeout_seconds) override;

 private:
  const LocalSandboxOptions options_;
};

}  // namespace velko::platform::sandbox
