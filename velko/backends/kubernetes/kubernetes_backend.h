// KubernetesBackend: runs the agent's shell commands inside an existing Kubernetes pod
// by starting `kubectl exec` on the local machine.
//
// The backend never creates pods: the pod-creating component sets the pod name through
// set_id() before any command runs. Each execute() starts one `kubectl` child process
// directly (no local shell) and waits for it, at most `timeout` seconds; when the limit
// passes the child's whole process group is killed.
//
//   KubernetesBackend backend("team-a");       // namespace "team-a", 300 s per command
//   backend.set_id("sandbox-7f3c");
//   backend.set_cwd("/data");
//   host::ExecuteResponse response = backend.execute("ls");
//   // kubectl exec -n team-a sandbox-7f3c -- sh -c "cd /data && ls"
//
// Thread-safe: the pod name and working directory are guarded by a mutex that is never
// held while a command runs, so several threads may run commands at once.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velko/host/backend.h"

namespace velko::backends::kubernetes {

inline constexpr int DEFAULT_TIMEOUT_SECONDS = 300;
// Names the namespace when the constructor is given none.
inline constexpr const char* ENV_K8S_NAMESPACE = "VELKO_K8S_NAMESPACE";
// Names the pod image; read by the pod-creating component, not by this backend.
inline constexpr const char* ENV_K8S_IMAGE = "VELKO_K8S_IMAGE";
inline constexpr const char* DEFAULT_NAMESPACE = "velko-sandbox";
inline constexpr const char* DEFAULT_IMAGE = "velko-sandbox:latest";

// The working directory used when `pwd` in the pod fails.
inline constexpr const char* FALLBACK_CWD = "/workspace";
inline constexpr const char* LOGGER_NAME = "velko.backends.kubernetes";

inline constexpr const char* POD_NAME_NOT_SET = "Pod name not set";
inline constexpr const char* POD_NAME_NOT_SET_EXECUTE =
    "Pod name not set. Ensure KubernetesSandboxMiddleware runs first.";
inline constexpr const char* KUBECTL_NOT_FOUND = "Error: kubectl not found. Is kubectl installed and in PATH?";

class KubernetesBackend : public host::BaseSandbox {
 public:
  // namespace_name: used when non-empty; otherwise $VELKO_K8S_NAMESPACE when set (even
  // when empty); otherwise DEFAULT_NAMESPACE. timeout_seconds: limit of one command.
  explicit KubernetesBackend(std::optional<std::string> namespace_name = std::nullopt,
                             int timeout_seconds = DEFAULT_TIMEOUT_SECONDS);

  const std::string& namespace_name() const { return namespace_; }
  int timeout() const { return timeout_; }

  // The pod name. Throws ValueError "Pod name not set" when absent or empty.
  std::string id() const override;
  bool has_id() const override;
  void set_id(std::string pod_name) override;

  // Runs `command` with `sh -c` in the pod. Throws ValueError POD_NAME_NOT_SET_EXECUTE
  // without a pod name; every later failure is a response: time-out (exit code 124),
  // kubectl missing (exit code 1), anything else (exit code 1, logged at error level).
  // `envs` reach the command without appearing on any argument list (they may be
  // secrets): kubectl exec -i carries them as `export` lines on the pod shell's standard
  // input, which that shell reads and evaluates before the command (the command's own
  // standard input is then empty). A name that is not a shell identifier, or a value
  // holding NUL, is refused (exit code 1) before anything starts. Each output stream
  // keeps its first and last base::OUTPUT_KEEP_BYTES bytes.
  host::ExecuteResponse execute(const std::string& command,
                                const std::optional<host::EnvMap>& envs = std::nullopt) override;
  // The same; a cancellation kills kubectl and gives "Error: cancelled" (exit code 130).
  host::ExecuteResponse execute_cancellable(const std::string& command, const std::optional<host::EnvMap>& envs,
                                            const base::CancelSignalPtr& cancel) override;

  // Stores the working directory for later commands (any text; empty means none).
  void set_cwd(std::string path) override;
  // The stored working directory; on first use without one, the output of `pwd` in the
  // pod (trimmed), or FALLBACK_CWD when `pwd` fails. Never runs `pwd` twice.
  // Throws ValueError POD_NAME_NOT_SET_EXECUTE when it must run `pwd` without a pod.
  std::optional<std::string> get_cwd() override;

  // The argument list execute() starts for `command` (throws like execute()); with
  // `with_envs`, the form that reads the variables from standard input.
  std::vector<std::string> kubectl_argv(const std::string& command, bool with_envs = false) const;

 private:
  const std::string namespace_;
  const int timeout_;
  mutable std::mutex mu_;
  // state below is guarded by mu_
  std::optional<std::string> pod_name_;
  std::optional<std::string> cwd_;
};

// `path` as it goes into "cd PATH && command": unchanged when it holds only letters,
// digits and / . _ - + , : @ % = ~ (so "~/x" still expands), otherwise single-quoted
// for the shell ("/my dir" -> "'/my dir'", "it's" -> "'it'\''s'").
std::string shell_quote_path(std::string_view path);

}  // namespace velko::backends::kubernetes
