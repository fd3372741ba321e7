// E2BBackend: the sandbox backend over the sandbox service (sandbox::connect).
//
// The sandbox itself is created elsewhere (by E2BSandboxMiddleware), which sets the
// backend's id. Every execute() connects anew with the backend's timeout (renewing the
// sandbox's lifetime) and runs the command in the working directory set with set_cwd().
//
// Thread-safe: the id and working directory are guarded by a mutex; each command uses its
// own connection.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "velko/host/backend.h"

namespace velko::platform::sandbox {

// The error text for a backend used before its sandbox exists.
inline constexpr const char* SANDBOX_ID_NOT_SET =
    "Sandbox ID not set. The sandbox is created by E2BSandboxMiddleware, which must run before commands do.";

class E2BBackend : public host::BaseSandbox {
 public:
  // `timeout_seconds`: the lifetime renewed at every connect, and the limit of one command.
  explicit E2BBackend(int timeout_seconds = host::SANDBOX_TIMEOUT_SECONDS);

  // Throws ValueError(SANDBOX_ID_NOT_SET) before the first set_id().
  std::string id() const override;
  bool has_id() const override;
  void set_id(std::string id) override;

  // Throws ValueError(SANDBOX_ID_NOT_SET) without an id. Otherwise never throws an
  // ordinary error: the output is stdout, or stderr, or both (stdout first, a line feed
  // between them when stdout does not end with one), with the command's exit code; a
  // failure to connect or run is output "Error: <message>" with exit code 1. `envs` adds
  // variables to this one command's environment.
  host::ExecuteResponse execute(const std::string& command,
                                const std::optional<host::EnvMap>& envs = std::nullopt) override;
  // The same; a cancellation ends the command and gives output "Error: cancelled".
  host::ExecuteResponse execute_cancellable(const std::string& command, const std::optional<host::EnvMap>& envs,
                                            const base::CancelSignalPtr& cancel) override;

  void set_cwd(std::string path) override;
  // Absent until set_cwd().
  std::optional<std::string> get_cwd() override;

  // Asks the sandbox's provider (see SandboxFiles::local_directory); nullopt without an id
  // or when the sandbox cannot be reached.
  std::optional<std::filesystem::path> local_directory(const std::string& path) override;

  int timeout_seconds() const { return timeout_seconds_; }

 private:
  const int timeout_seconds_;
  mutable std::mutex mu_;
  // state below is guarded by mu_
  std::optional<std::string> id_;
  std::optional<std::string> cwd_;
};

}  // namespace velko::platform::sandbox
