// Sandbox backends: where the agent's shell commands run.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "velko/base/cancel.h"

namespace velko::host {

// How long a sandbox lives without use, and the default limit of one command (seconds).
inline constexpr int SANDBOX_TIMEOUT_SECONDS = 300;

// The result of one command.
struct ExecuteResponse {
  std::string output;
  int exit_code = 0;
  bool truncated = false;
};

using EnvMap = std::map<std::string, std::string>;

// A place that runs shell commands. Implementations document their thread-safety.
class BackendProtocol {
 public:
  virtual ~BackendProtocol() = default;

  // The sandbox's identifier. Throws ValueError when none has been set.
  virtual std::string id() const = 0;
  // Whether an identifier has been set (never throws).
  virtual bool has_id() const = 0;
  // Sets the identifier; the last assignment wins.
  virtual void set_id(std::string id) = 0;

  // Runs `command` and waits for it. Failing commands are responses, not exceptions;
  // what a backend raises (a missing id) is documented by the backend. `envs` adds
  // variables to this one command's environment; backends that cannot do so ignore it.
  virtual ExecuteResponse execute(const std::string& command, const std::optional<EnvMap>& envs = std::nullopt) = 0;
  // execute(), ended early when `cancel` fires (the response then says so, as the
  // backend documents). Backends that cannot stop a command run it to its end.
  virtual ExecuteResponse execute_cancellable(const std::string& command, const std::optional<EnvMap>& envs,
                                              const base::CancelSignalPtr& cancel) {
    (void)cancel;
    return execute(command, envs);
  }

  // Working directory for later commands.
  virtual void set_cwd(std::string path) = 0;
  virtual std::optional<std::string> get_cwd() = 0;

  // Where the directory at `path` (as commands see it) lies on this machine, for backends
  // whose files are kept here; nullopt for the others, and when there is no such
  // directory. Never throws an ordinary error.
  virtual std::optional<std::filesystem::path> local_directory(const std::string& path) {
    (void)path;
    return std::nullopt;
  }
};

// Base of the backends that run commands inside an isolated sandbox.
class BaseSandbox : public BackendProtocol {};

}  // namespace velko::host
