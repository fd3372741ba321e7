#include "velko/platform/sandbox/e2b_backend.h"

#include "velko/base/errors.h"
#include "velko/base/strings.h"
#include "velko/platform/sandbox/sandbox.h"

namespace velko::platform::sandbox {

E2BBackend::E2BBackend(int timeout_seconds) : timeout_seconds_(timeout_seconds) {}

std::string E2BBackend::id() const {
  std::lock_guard<std::mutex> lock(mu_);
  if (!id_) throw base::ValueError(SANDBOX_ID_NOT_SET);
  return *id_;
}

bool E2BBackend::has_id() const {
  std::lock_guard<std::mutex> lock(mu_);
  return id_.has_value();
}

void E2BBackend::set_id(std::string id) {
  std::lock_guard<std::mutex> lock(mu_);
  id_ = std::move(id);
}

void E2BBackend::set_cwd(std::string path) {
  std::lock_guard<std::mutex> lock(mu_);
  cwd_ = std::move(path);
}

std::optional<std::string> E2BBackend::get_cwd() {
  std::lock_guard<std::mutex> lock(mu_);
  return cwd_;
}

std::optional<std::filesystem::path> E2BBackend::local_directory(const std::string& path) {
  if (!has_id()) return std::nullopt;
  try {
    return connect(id(), timeout_seconds_)->files().local_directory(path);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

host::ExecuteResponse E2BBackend::execute(const std::string& command, const std::optional<host::EnvMap>& envs) {
  return execute_cancellable(command, envs, nullptr);
}

host::ExecuteResponse E2BBackend::execute_cancellable(const std::string& command,
                                                      const std::optional<host::EnvMap>& envs,
                                                      const base::CancelSignalPtr& cancel) {
  std::string sandbox_id = id();
  std::optional<std::string> cwd = get_cwd();
  try {
    std::shared_ptr<Sandbox> sandbox = connect(sandbox_id, timeout_seconds_);
    CommandResult result = sandbox->commands().run_cancellable(command, cwd, envs.value_or(host::EnvMap{}), cancel);
    std::string output;
    if (result.stderr_text.empty()) {
      output = std::move(result.stdout_text);
    } else if (result.stdout_text.empty()) {
      output = std::move(result.stderr_text);
    } else {
      output = std::move(result.stdout_text);
      if (!base::ends_with(output, "\n")) output += "\n";
      output += result.stderr_text;
    }
    return host::ExecuteResponse{std::move(output), result.exit_code, false};
  } catch (const std::exception& error) {
    return host::ExecuteResponse{std::string("Error: ") + error.what(), 1, false};
  }
}

}  // namespace velko::platform::sandbox
