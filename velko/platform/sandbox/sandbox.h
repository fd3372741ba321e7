// The sandbox service: remote sandboxes reached by identifier, each with a file system
// and a command runner. "/home/user/..." means the same place for file calls and for
// commands.
//
// connect() goes through a process-wide provider slot. By default it holds the local
// provider (a directory per sandbox id under the sandboxes root, commands under
// bubblewrap); tests put a fake in it with ScopedSandboxProvider.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "velko/base/cancel.h"

namespace velko::platform::sandbox {

// The result of one command run in a sandbox.
struct CommandResult {
  std::string stdout_text;
  std::string stderr_text;
  int exit_code = 0;
};

class SandboxFiles {
 public:
  virtual ~SandboxFiles() = default;
  // Writes `data` (text or bytes) to the sandbox path (absolute, or relative to
  // /home/user), creating missing parent directories and replacing an existing file.
  // Throws PermissionError for a path the sandbox may not use, OSError on failure.
  virtual void write(const std::string& path, std::string_view data) = 0;
  // The file's bytes. format must be "bytes" or "text" (ValueError otherwise); both give
  // the bytes unchanged. Throws FileNotFoundError when missing, OSError otherwise.
  virtual std::string read(const std::string& path, const std::string& format = "bytes") = 0;
  // Where the directory at the sandbox path lies on this machine, for providers that keep
  // the sandbox's files here; nullopt for the others, and when the path does not name an
  // existing directory. The path is resolved as the sandbox resolves it, so a link planted
  // inside cannot point the answer outside the sandbox home. Never throws an ordinary error.
  virtual std::optional<std::filesystem::path> local_directory(const std::string& path) {
    (void)path;
    return std::nullopt;
  }
};

class SandboxCommands {
 public:
  virtual ~SandboxCommands() = default;
  // Runs `command` with /bin/sh -c in the sandbox and waits. `cwd` is a sandbox path
  // (default /home/user); `envs` adds variables for this one command. A command that
  // fails is a result with its exit code; failures to run at all throw (RuntimeError,
  // TimeoutError when the sandbox's time limit for one command passes).
  virtual CommandResult run(const std::string& command, const std::optional<std::string>& cwd = std::nullopt,
                            const std::map<std::string, std::string>& envs = {}) = 0;
  // run(), ended early when `cancel` fires (throws CancelledError then). Providers that
  // cannot stop a command run it to its end.
  virtual CommandResult run_cancellable(const std::string& command, const std::optional<std::string>& cwd,
                                        const std::map<std::string, std::string>& envs,
                                        const base::CancelSignalPtr& cancel) {
    (void)cancel;
    return run(command, cwd, envs);
  }
};

// A handle on one sandbox. Handles are cheap; several may exist for one sandbox.
class Sandbox {
 public:
  virtual ~Sandbox() = default;
  virtual const std::string& sandbox_id() const = 0;
  virtual SandboxFiles& files() = 0;
  virtual SandboxCommands& commands() = 0;
};

class SandboxProvider {
 public:
  virtual ~SandboxProvider() = default;
  // A handle on the sandbox `id`; `timeout_seconds` renews its lifetime. Throws when
  // the sandbox cannot be reached.
  virtual std::shared_ptr<Sandbox> connect(const std::string& id, int timeout_seconds) = 0;
};

// Sandbox.connect(id, timeout) through the current provider. Thread-safe.
std::shared_ptr<Sandbox> connect(const std::string& id, int timeout_seconds = 300);

// Replaces the provider (nullptr restores the local default); returns the previous one.
std::shared_ptr<SandboxProvider> set_sandbox_provider(std::shared_ptr<SandboxProvider> provider);

class ScopedSandboxProvider {
 public:
  explicit ScopedSandboxProvider(std::shared_ptr<SandboxProvider> provider)
      : previous_(set_sandbox_provider(std::move(provider))) {}
  ~ScopedSandboxProvider() { set_sandbox_provider(previous_); }
  ScopedSandboxProvider(const ScopedSandboxProvider&) = delete;
  ScopedSandboxProvider& operator=(const ScopedSandboxProvider&) = delete;

 private:
  std::shared_ptr<SandboxProvider> previous_;
};

}  // namespace velko::platform::sandbox
