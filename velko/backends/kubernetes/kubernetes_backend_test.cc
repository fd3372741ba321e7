#include "velko/backends/kubernetes/kubernetes_backend.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "velko/backends/kubernetes/module.h"
#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/files.h"
#include "velko/base/logging.h"

namespace velko::backends::kubernetes {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// A fake `kubectl` first on PATH. Each run records its program name and arguments (NUL-separated) in
// call.N and plays FAKE_STDOUT, FAKE_STDERR, FAKE_EXIT; with FAKE_SLEEP it first starts
// `sleep` as a child (pid written to sleep.pid) and waits for it.
constexpr const char* FAKE_KUBECTL = R"SH(#!/bin/sh
dir="$FAKE_KUBECTL_DIR"
n=$(cat "$dir/count" 2>/dev/null || echo 0)
n=$((n + 1))
echo "$n" > "$dir/count"
{ printf '%s\0' "$(basename "$0")"; for arg in "$@"; do printf '%s\0' "$arg"; done; } > "$dir/call.$n"
if [ -n "$FAKE_SLEEP" ]; then
  sleep "$FAKE_SLEEP" &
  echo $! > "$dir/sleep.pid"
  wait
fi
printf '%s' "$FAKE_STDOUT"
printf '%s' "$FAKE_STDERR" >&2
exit "${FAKE_EXIT:-0}"
)SH";

class FakeKubectl {
 public:
  FakeKubectl()
      : dir_(fs::temp_directory_path() /
             ("velko-fake-kubectl-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++))) {
    fs::create_directories(dir_);
    write_program(FAKE_KUBECTL);
    path_.emplace("PATH", dir_.string() + ":" + base::getenv_opt("PATH").value_or("/usr/bin:/bin"));
    dir_env_.emplace("FAKE_KUBECTL_DIR", dir_.string());
  }
  ~FakeKubectl() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  void write_program(const std::string& content) {
    base::write_file_atomic(dir_ / "kubectl", content);
    fs::permissions(dir_ / "kubectl", fs::perms::owner_all);
  }

  int calls() const {
    std::ifstream in(dir_ / "count");
    int count = 0;
    in >> count;
    return count;
  }

  std::vector<std::string> argv(int call) const {
    std::ifstream in(dir_ / ("call." + std::to_string(call)), std::ios::binary);
    std::stringstream raw;
    raw << in.rdbuf();
    std::vector<std::string> out;
    std::string arg;
    for (char ch : raw.str()) {
      if (ch == '\0') {
        out.push_back(arg);
        arg.clear();
      } else {
        arg += ch;
      }
    }
    return out;
  }

  const fs::path& dir() const { return dir_; }

 private:
  static inline int counter_ = 0;
  fs::path dir_;
  std::optional<base::ScopedEnv> path_;
  std::optional<base::ScopedEnv> dir_env_;
};

struct Play {
  base::ScopedEnv out, err, code, sleep;
  Play(std::optional<std::string> stdout_text, std::optional<std::string> stderr_text,
       std::optional<std::string> exit_code, std::optional<std::string> sleep_seconds = std::nullopt)
      : out("FAKE_STDOUT", std::move(stdout_text)),
        err("FAKE_STDERR", std::move(stderr_text)),
        code("FAKE_EXIT", std::move(exit_code)),
        sleep("FAKE_SLEEP", std::move(sleep_seconds)) {}
};

std::unique_ptr<KubernetesBackend> backend_for(const std::string& pod, const std::string& ns = "ns", int timeout = 30) {
  auto backend = std::make_unique<KubernetesBackend>(ns, timeout);
  backend->set_id(pod);
  return backend;
}

TEST(KubernetesBackendTest, NamespaceComesFromArgumentThenVariableThenDefault) {
  {
    base::ScopedEnv unset(ENV_K8S_NAMESPACE, std::nullopt);
    KubernetesBackend backend;
    EXPECT_EQ(backend.namespace_name(), "velko-sandbox");
    EXPECT_EQ(backend.timeout(), 300);
    EXPECT_EQ(KubernetesBackend("").namespace_name(), "velko-sandbox");
  }
  {
    base::ScopedEnv set(ENV_K8S_NAMESPACE, "from-env");
    EXPECT_EQ(KubernetesBackend().namespace_name(), "from-env");
    EXPECT_EQ(KubernetesBackend("").namespace_name(), "from-env");
    EXPECT_EQ(KubernetesBackend("explicit").namespace_name(), "explicit");
  }
  {
    base::ScopedEnv empty(ENV_K8S_NAMESPACE, "");
    EXPECT_EQ(KubernetesBackend().namespace_name(), "");  // a set variable is used even when empty
  }
}

TEST(KubernetesBackendTest, MissingPodNameRaisesItsMessages) {
  KubernetesBackend backend("ns");
  EXPECT_FALSE(backend.has_id());
  try {
    (void)backend.id();
    FAIL() << "id() without a pod name must throw";
  } catch (const base::ValueError& error) {
    EXPECT_STREQ(error.what(), "Pod name not set");
  }
  backend.set_id("");
  EXPECT_THROW((void)backend.id(), base::ValueError);
  for (auto call : {+[](KubernetesBackend& b) { b.execute("ls"); }, +[](KubernetesBackend& b) { b.get_cwd(); }}) {
    try {
      call(backend);
      FAIL() << "a command without a pod name must throw";
    } catch (const base::ValueError& error) {
      EXPECT_STREQ(error.what(), "Pod name not set. Ensure KubernetesSandboxMiddleware runs first.");
    }
  }
  backend.set_id("first");
  backend.set_id("second");
  EXPECT_EQ(backend.id(), "second");
}

TEST(KubernetesBackendTest, StartsKubectlWithExactArgumentsAndWorkingDirectoryForms) {
  FakeKubectl fake;
  Play play("", "", "0");
  auto holder = backend_for("p1");
  KubernetesBackend& backend = *holder;
  backend.execute("ls");
  EXPECT_THAT(fake.argv(1), ElementsAre("kubectl", "exec", "-n", "ns", "p1", "--", "sh", "-c", "ls"));

  struct Case {
    std::string cwd, expected_script;
  };
  const std::vector<Case> cases = {
      {"/data", "cd /data && ls"},
      {"~/work-1/a.b_c+d,e:f@g%h=i", "cd ~/work-1/a.b_c+d,e:f@g%h=i && ls"},
      {"/my dir", "cd '/my dir' && ls"},
      {"/it's", "cd '/it'\\''s' && ls"},
      {"/x; rm -rf /", "cd '/x; rm -rf /' && ls"},
      {"/$(id)`id`", "cd '/$(id)`id`' && ls"},
      {"~/my dir", "cd ~/'my dir' && ls"},
      {"", "ls"},  // an empty working directory means none
  };
  int call = 1;
  for (const auto& c : cases) {
    backend.set_cwd(c.cwd);
    backend.execute("ls");
    auto argv = fake.argv(++call);
    ASSERT_EQ(argv.size(), 9u) << c.cwd;
    EXPECT_EQ(argv[8], c.expected_script) << c.cwd;
  }
}

TEST(KubernetesBackendTest, QuotedDirectoryReachesTheRightPlaceInARealShell) {
  // The same script the pod's `sh -c` would get, run by the local shell.
  fs::path base_dir = fs::temp_directory_path() / ("velko k8s it's " + std::to_string(::getpid()));
  fs::create_directories(base_dir);
  std::string script = "cd " + shell_quote_path(base_dir.string()) + " && pwd";
  std::string command = "sh -c " + shell_quote_path(script);
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char buffer[4096];
  std::string out;
  while (size_t read = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, read);
  ASSERT_EQ(::pclose(pipe), 0);
  EXPECT_EQ(out, base_dir.string() + "\n");
  fs::remove_all(base_dir);
}

TEST(KubernetesBackendTest, JoinsOutputStreamsAndPassesExitCodes) {
  FakeKubectl fake;
  struct Case {
    std::optional<std::string> out, err, code;
    std::string expected;
    int exit_code;
  };
  const std::vector<Case> cases = {
      {"a", "b", "0", "a\nb", 0},
      {"", "b", "1", "b", 1},
      {"line one\n  \n", "", "0", "line one\n  \n", 0},  // nothing stripped
      {"a\n", "b\n", "2", "a\n\nb\n", 2},
      {"", "", "0", "", 0},
      {"", "sh: nope: not found", "127", "sh: nope: not found", 127},
      {"caf\xc3\xa9 \xff", "", "0", "caf\xc3\xa9 \xef\xbf\xbd", 0},  // invalid bytes replaced
  };
  auto holder = backend_for("pod");
  KubernetesBackend& backend = *holder;
  for (const auto& c : cases) {
    Play play(c.out, c.err, c.code);
    host::ExecuteResponse response = backend.execute("cmd");
    EXPECT_EQ(response.output, c.expected);
    EXPECT_EQ(response.exit_code, c.exit_code);
    EXPECT_FALSE(response.truncated);
  }
}

bool process_gone(pid_t pid) {
  if (::kill(pid, 0) != 0) return true;
  // A zombie waiting for its (re)parent to reap it has stopped running.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t paren = content.rfind(')');
  return paren != std::string::npos && paren + 2 < content.size() && content[paren + 2] == 'Z';
}

TEST(KubernetesBackendTest, TimeOutStopsTheChildAndItsChildrenAndLogsAWarning) {
  FakeKubectl fake;
  Play play("late", "", "0", "30");
  base::ScopedLogCapture capture;
  auto holder = backend_for("pod", "ns", 1);
  KubernetesBackend& backend = *holder;
  std::string long_command = "echo " + std::string(120, 'x');
  auto started = std::chrono::steady_clock::now();
  host::ExecuteResponse response = backend.execute(long_command);
  auto elapsed = std::chrono::steady_clock::now() - started;

  EXPECT_EQ(response.exit_code, 124);
  EXPECT_EQ(response.output, "Error: Command timed out after 1 seconds");
  EXPECT_FALSE(response.truncated);
  EXPECT_LT(elapsed, std::chrono::seconds(20));  // not the fake's 30 s
  EXPECT_THAT(capture.sink().messages(LOGGER_NAME, base::LogLevel::kWarning),
              ElementsAre("Command timed out after 1s: " + long_command.substr(0, 100) + "..."));

  std::string pid_text = base::read_file(fake.dir() / "sleep.pid");
  pid_t sleeper = static_cast<pid_t>(std::stol(pid_text));
  for (int attempt = 0; attempt < 50 && !process_gone(sleeper); ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(process_gone(sleeper)) << "the command's child " << sleeper << " is still running";
}

TEST(KubernetesBackendTest, KubectlMissingAndUnstartableAreResponses) {
  fs::path empty_dir = fs::temp_directory_path() / ("velko-no-kubectl-" + std::to_string(::getpid()));
  fs::create_directories(empty_dir);
  base::ScopedLogCapture capture;
  {
    base::ScopedEnv path("PATH", empty_dir.string());
    host::ExecuteResponse response = backend_for("pod")->execute("ls");
    EXPECT_EQ(response.output, "Error: kubectl not found. Is kubectl installed and in PATH?");
    EXPECT_EQ(response.exit_code, 1);
    EXPECT_FALSE(response.truncated);
  }
  EXPECT_TRUE(capture.sink().records().empty());

  FakeKubectl fake;
  fake.write_program(
      std::string("\x7f"
                  "ELF not really a program\n"));
  host::ExecuteResponse response = backend_for("pod")->execute("ls");
  EXPECT_EQ(response.exit_code, 1);
  EXPECT_THAT(response.output, ::testing::StartsWith("Error: "));
  EXPECT_THAT(response.output, HasSubstr("Exec format error"));
  auto errors = capture.sink().messages(LOGGER_NAME, base::LogLevel::kError);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "Unexpected error executing command: " + response.output.substr(7));
  fs::remove_all(empty_dir);
}

TEST(KubernetesBackendTest, GetCwdRunsPwdOnceAndFallsBack) {
  FakeKubectl fake;
  {
    Play play("  /home/sandbox \n", "", "0");
    auto holder = backend_for("pod");
    KubernetesBackend& backend = *holder;
    EXPECT_EQ(backend.get_cwd(), "/home/sandbox");
    EXPECT_EQ(backend.get_cwd(), "/home/sandbox");
    EXPECT_EQ(fake.calls(), 1);
    EXPECT_THAT(fake.argv(1), ElementsAre("kubectl", "exec", "-n", "ns", "pod", "--", "sh", "-c", "pwd"));
    backend.execute("ls");  // the determined directory is used from now on
    EXPECT_EQ(fake.argv(2).back(), "cd /home/sandbox && ls");
  }
  {
    Play play("", "no shell", "1");
    auto holder = backend_for("pod");
    KubernetesBackend& backend = *holder;
    EXPECT_EQ(backend.get_cwd(), "/workspace");
    EXPECT_EQ(backend.get_cwd(), "/workspace");
    EXPECT_EQ(fake.calls(), 3);  // one more pwd only
    backend.set_cwd("/other");
    EXPECT_EQ(backend.get_cwd(), "/other");
    backend.set_cwd("");
    EXPECT_EQ(backend.get_cwd(), "");  // stored, even when empty
    EXPECT_EQ(fake.calls(), 3);
  }
}

TEST(KubernetesModuleTest, BackendFromOptions) {
  base::ScopedEnv unset(ENV_K8S_NAMESPACE, std::nullopt);
  auto backend = make_backend(Json{{"namespace", "team"}, {"timeout", 5}, {"id", "pod-1"}, {"cwd", "/srv"}});
  auto* k8s = dynamic_cast<KubernetesBackend*>(backend.get());
  ASSERT_NE(k8s, nullptr);
  EXPECT_EQ(k8s->namespace_name(), "team");
  EXPECT_EQ(k8s->timeout(), 5);
  EXPECT_EQ(k8s->id(), "pod-1");
  EXPECT_EQ(k8s->get_cwd(), "/srv");
  auto defaults = make_backend(Json{{"namespace", nullptr}});
  EXPECT_EQ(dynamic_cast<KubernetesBackend&>(*defaults).namespace_name(), "velko-sandbox");
  EXPECT_FALSE(defaults->has_id());

  struct Bad {
    Json options;
    std::string message;
  };
  const std::vector<Bad> bad = {
      {Json{{"timeout", "5"}}, "Option 'timeout' must be an integer, not string"},
      {Json{{"namespace", 3}}, "Option 'namespace' must be text, not number"},
      {Json{{"id", nullptr}}, "Option 'id' must be text, not null"},
  };
  for (const auto& b : bad) {
    try {
      make_backend(b.options);
      FAIL() << b.options.dump();
    } catch (const base::TypeError& error) {
      EXPECT_EQ(error.what(), b.message);
    }
  }
  EXPECT_THROW(make_backend(Json{{"timeout", -1}}), base::ValueError);
  EXPECT_THROW(make_backend(Json{{"pod", "x"}}), base::ValueError);
  EXPECT_THROW(make_backend(Json::array()), base::ValueError);

  host::Registry registry;
  register_module(registry);
  ASSERT_TRUE(registry.backend("kubernetes").has_value());
  EXPECT_EQ((*registry.backend("kubernetes"))(Json{{"id", "p"}})->id(), "p");
}

}  // namespace
}  // namespace velko::backends::kubernetes
