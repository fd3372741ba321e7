// The Kubernetes backend with Debian's real kubectl against an unreachable cluster, and
// the `velko exec` command driving the backend through a fake kubectl.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/temp_dir.h"
#include "velko/backends/kubernetes/kubernetes_backend.h"
#include "velko/base/env.h"
#include "velko/base/files.h"
#include "velko/base/process.h"

namespace velko {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

using testing::TempDir;

TEST(RealKubectlTest, UnreachableClusterComesBackAsAResponse) {
  auto kubectl = base::find_program("kubectl", base::getenv_opt("PATH").value_or(""));
  if (!kubectl) GTEST_SKIP() << "kubectl is not installed (Debian package kubernetes-client)";
  TempDir dir("velko-kubeconfig");
  // Loopback port 1: nothing listens, so the connection is refused at once.
  base::write_file_atomic(dir.path() / "config", R"(apiVersion: v1
kind: Config
clusters:
- name: unreachable
  cluster:
    server: https://127.0.0.1:1
    insecure-skip-tls-verify: true
users:
- name: nobody
  user:
    token: not-a-real-token
contexts:
- name: unreachable
  context:
    cluster: unreachable
    user: nobody
current-context: unreachable
)");
  base::ScopedEnv kubeconfig("KUBECONFIG", (dir.path() / "config").string());
  backends::kubernetes::KubernetesBackend backend("velko-test", 30);
  backend.set_id("no-such-pod");
  host::ExecuteResponse response = backend.execute("echo hi");
  EXPECT_NE(response.exit_code, 0);
  EXPECT_NE(response.exit_code, 124);  // refused at once, not timed out
  EXPECT_FALSE(response.truncated);
  EXPECT_THAT(response.output, HasSubstr("127.0.0.1:1"));
  EXPECT_THAT(response.output, ::testing::Not(HasSubstr("not-a-real-token")));
}

TEST(FakeKubectlTest, EnvsReachThePodCommandWithoutAnyArgumentList) {
  // The fake records its arguments and input, then runs what follows "--" locally with
  // that input, as the pod's shell would; the pod command records its own arguments too.
  TempDir dir("velko-k8s-envs");
  base::write_file_atomic(dir.path() / "kubectl", R"SH(#!/bin/sh
here="$(dirname "$0")"
printf '%s|' "$@" > "$here/args"
while [ "$1" != "--" ]; do shift; done
shift
exec "$@"
)SH",
                          0700);
  base::ScopedEnv path("PATH", dir.path().string() + ":/usr/bin:/bin");
  backends::kubernetes::KubernetesBackend backend("team", 30);
  backend.set_id("pod-1");
  const std::string secret = "postgresql+psycopg://u:pw-'$(touch " + (dir.path() / "pwned").string() + ")'@h/d";
  host::ExecuteResponse response =
      backend.execute("printf '%s|%s' \"$VELKO_CONNECTION_STRING\" \"$OTHER\"; cat /proc/$$/cmdline | tr '\\0' '|' > " +
                          (dir.path() / "pod_args").string(),
                      host::EnvMap{{"VELKO_CONNECTION_STRING", secret}, {"OTHER", "two\nlines"}});
  EXPECT_EQ(response.exit_code, 0) << response.output;
  EXPECT_EQ(response.output, secret + "|two\nlines");
  EXPECT_FALSE(fs::exists(dir.path() / "pwned"));  // the value was data, never code
  EXPECT_THAT(base::read_file(dir.path() / "args"), ::testing::Not(HasSubstr("pw-")));
  EXPECT_THAT(base::read_file(dir.path() / "args"), HasSubstr("exec|-i|-n|team|pod-1|--|sh|-c|"));
  EXPECT_THAT(base::read_file(dir.path() / "pod_args"), ::testing::Not(HasSubstr("pw-")));

  // Without envs the command line is as before; a bad name is refused before kubectl.
  backend.execute("true");
  EXPECT_EQ(base::read_file(dir.path() / "args"), "exec|-n|team|pod-1|--|sh|-c|true|");
  host::ExecuteResponse bad = backend.execute("true", host::EnvMap{{"A;rm -rf /", "x"}});
  EXPECT_EQ(bad.exit_code, 1);
  EXPECT_THAT(bad.output, HasSubstr("invalid environment variable name"));
}

#ifdef VELKO_TEST_BINARY_DIR
TEST(ExecCommandTest, RunsTheCommandThroughTheBackendAndPrintsTheExitCode) {
  fs::path velko = fs::path(VELKO_TEST_BINARY_DIR) / "app" / "velko";
  ASSERT_TRUE(fs::exists(velko)) << velko << " is not built";
  TempDir dir("velko-exec-fake-kubectl");
  base::write_file_atomic(dir.path() / "kubectl", R"SH(#!/bin/sh
printf '%s|' "$@" > "$(dirname "$0")/args"
printf 'out'
printf 'err' >&2
exit 3
)SH",
                          0700);
  base::ProcessOptions options;
  options.env_overrides = {{"PATH", dir.path().string() + ":/usr/bin:/bin"}};
  options.timeout = std::chrono::milliseconds(30000);

  options.argv = {velko.string(), "exec",     "--id", "pod-1", "--namespace", "team",
                  "--cwd",        "/my data", "--",   "ls",    "-l",          "it's here"};
  base::ProcessResult ran = base::run_process(options);
  EXPECT_EQ(ran.exit_code, 0) << ran.stderr_text;
  EXPECT_EQ(ran.stdout_text, "out\nerr\nexit code: 3\n");
  EXPECT_EQ(base::read_file(dir.path() / "args"),
            "exec|-n|team|pod-1|--|sh|-c|cd '/my data' && ls -l 'it'\\''s here'|");

  options.argv = {velko.string(), "exec", "--id", "pod-1", "--", "ls | wc -l"};
  ran = base::run_process(options);
  EXPECT_EQ(ran.exit_code, 0);
  EXPECT_THAT(base::read_file(dir.path() / "args"), HasSubstr("|-c|ls | wc -l|"));

  options.argv = {velko.string(), "exec", "--id", "", "--", "ls"};
  ran = base::run_process(options);
  EXPECT_EQ(ran.exit_code, 1);
  EXPECT_THAT(ran.stderr_text, HasSubstr("Pod name not set. Ensure KubernetesSandboxMiddleware runs first."));
  EXPECT_EQ(ran.stdout_text, "");

  options.argv = {velko.string(), "exec", "--backend", "local", "--namespace", "x", "--id", "s1", "--", "ls"};
  ran = base::run_process(options);
  EXPECT_EQ(ran.exit_code, 1);
  EXPECT_THAT(ran.stderr_text, HasSubstr("--namespace applies to the kubernetes backend only"));
}
#endif

}  // namespace
}  // namespace velko
