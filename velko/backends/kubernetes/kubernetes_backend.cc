#include "velko/backends/kubernetes/kubernetes_backend.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/json.h"
#include "velko/base/logging.h"
#include "velko/base/process.h"
#include "velko/base/strings.h"
#include "velko/base/utf8.h"

namespace velko::backends::kubernetes {
namespace {

constexpr size_t LOGGED_COMMAND_CHARS = 100;
constexpr int TIMEOUT_EXIT_CODE = 124;
constexpr int CANCELLED_EXIT_CODE = 130;
// Prefixed to the pod's script when variables come on standard input: reads all of it
// and evaluates the `export` lines, so the values never reach an argument list.
constexpr const char* READ_ENVS = "eval \"$(cat)\" && ";

bool is_shell_name(std::string_view name) {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
  return std::all_of(name.begin(), name.end(), [](char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_';
  });
}

base::Logger& logger() { return base::get_logger(LOGGER_NAME); }

bool is_safe_path_char(char ch) {
  if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9')) return true;
  return std::string_view("/._-+,:@%=~").find(ch) != std::string_view::npos;
}

std::string single_quoted(std::string_view text) {
  std::string out = "'";
  for (char ch : text) {
    if (ch == '\'') {
      out += "'\\''";
    } else {
      out += ch;
    }
  }
  return out + "'";
}

std::string resolve_namespace(const std::optional<std::string>& given) {
  if (given && !given->empty()) return *given;
  if (auto from_env = base::getenv_opt(ENV_K8S_NAMESPACE)) return *from_env;
  return DEFAULT_NAMESPACE;
}

}  // namespace

std::string shell_quote_path(std::string_view path) {
  if (std::all_of(path.begin(), path.end(), is_safe_path_char)) return std::string(path);
  // Keep a leading "~" or "~/" outside the quotes so the shell still expands it.
  if (path.starts_with("~/")) return "~/" + single_quoted(path.substr(2));
  return single_quoted(path);
}

KubernetesBackend::KubernetesBackend(std::optional<std::string> namespace_name, int timeout_seconds)
    : namespace_(resolve_namespace(namespace_name)), timeout_(timeout_seconds) {}

std::string KubernetesBackend::id() const {
  std::lock_guard lock(mu_);
  if (!pod_name_ || pod_name_->empty()) throw base::ValueError(POD_NAME_NOT_SET);
  return *pod_name_;
}

bool KubernetesBackend::has_id() const {
  std::lock_guard lock(mu_);
  return pod_name_ && !pod_name_->empty();
}

void KubernetesBackend::set_id(std::string pod_name) {
  std::lock_guard lock(mu_);
  pod_name_ = std::move(pod_name);
}

void KubernetesBackend::set_cwd(std::string path) {
  std::lock_guard lock(mu_);
  cwd_ = std::move(path);
}

std::vector<std::string> KubernetesBackend::kubectl_argv(const std::string& command, bool with_envs) const {
  std::string pod_name;
  std::string cwd;
  {
    std::lock_guard lock(mu_);
    if (!pod_name_ || pod_name_->empty()) throw base::ValueError(POD_NAME_NOT_SET_EXECUTE);
    pod_name = *pod_name_;
    if (cwd_) cwd = *cwd_;
  }
  std::string script = cwd.empty() ? command : "cd " + shell_quote_path(cwd) + " && " + command;
  if (with_envs) {
    script = std::string(READ_ENVS) + script;
    return {"kubectl", "exec", "-i", "-n", namespace_, pod_name, "--", "sh", "-c", std::move(script)};
  }
  return {"kubectl", "exec", "-n", namespace_, pod_name, "--", "sh", "-c", std::move(script)};
}

host::ExecuteResponse KubernetesBackend::execute(const std::string& command, const std::optional<host::EnvMap>& envs) {
  return execute_cancellable(command, envs, nullptr);
}

host::ExecuteResponse KubernetesBackend::execute_cancellable(const std::string& command,
                                                             const std::optional<host::EnvMap>& envs,
                                                             const base::CancelSignalPtr& cancel) {
  bool with_envs = envs && !envs->empty();
  base::ProcessOptions options;
  options.argv = kubectl_argv(command, with_envs);
  options.timeout = std::chrono::milliseconds(std::max(0LL, static_cast<long long>(timeout_) * 1000));
  options.cancel = cancel;
  options.keep_output = base::OUTPUT_KEEP_BYTES;
  if (with_envs) {
    std::string exports;
    for (const auto& [name, value] : *envs) {
      if (!is_shell_name(name)) return {"Error: invalid environment variable name " + base::quote(name), 1, false};
      if (value.find('\0') != std::string::npos) {
        return {"Error: the value of environment variable " + name + " contains NUL", 1, false};
      }
      exports += "export " + name + "=" + single_quoted(value) + "\n";
    }
    options.stdin_text = std::move(exports);
  }

  try {
    base::ProcessResult result = base::run_process(options);
    if (result.cancelled) return {"Error: cancelled", CANCELLED_EXIT_CODE, false};
    if (result.timed_out) {
      logger().warning("Command timed out after " + std::to_string(timeout_) +
                       "s: " + std::string(base::prefix_code_points(command, LOGGED_COMMAND_CHARS)) + "...");
      return {"Error: Command timed out after " + std::to_string(timeout_) + " seconds", TIMEOUT_EXIT_CODE, false};
    }
    std::string output = base::to_valid_utf8(result.stdout_text);
    if (!result.stderr_text.empty()) {
      std::string error_text = base::to_valid_utf8(result.stderr_text);
      output = output.empty() ? std::move(error_text) : output + "\n" + error_text;
    }
    return {std::move(output), result.exit_code, false};
  } catch (const base::FileNotFoundError&) {
    return {KUBECTL_NOT_FOUND, 1, false};
  } catch (const std::exception& error) {
    logger().error("Unexpected error executing command: " + std::string(error.what()));
    return {"Error: " + std::string(error.what()), 1, false};
  }
}

std::optional<std::string> KubernetesBackend::get_cwd() {
  {
    std::lock_guard lock(mu_);
    if (cwd_) return cwd_;
  }
  host::ExecuteResponse response = execute("pwd");
  std::string determined = response.exit_code == 0 ? std::string(base::strip(response.output)) : FALLBACK_CWD;
  std::lock_guard lock(mu_);
  if (!cwd_) cwd_ = std::move(determined);  // a set_cwd() meanwhile wins
  return cwd_;
}

}  // namespace velko::backends::kubernetes
