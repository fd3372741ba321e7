#include "velko/base/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/files.h"
#include "velko/base/strings.h"

namespace velko::base {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

ProcessResult sh(const std::string& script, ProcessOptions options = {}) {
  options.argv = {"/bin/sh", "-c", script};
  return run_process(options);
}

// True while `pid` names a live process (a zombie waiting for its parent counts as gone).
bool alive(pid_t pid) {
  if (::kill(pid, 0) != 0) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  size_t paren = line.rfind(')');
  return paren == std::string::npos || paren + 2 >= line.size() || line[paren + 2] != 'Z';
}

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("velko-process-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  pid_t read_pid(const std::string& name) { return static_cast<pid_t>(std::stol(read_file(dir_ / name))); }
  fs::path dir_;
};

TEST_F(ProcessTest, CapturesMegabytesOnBothStreamsAndFeedsLargeInput) {
  // 4 MiB on each stream, written alternately, and 3 MiB through cat: any loop that
  // reads one pipe while the other is full, or writes input without reading, deadlocks.
  ProcessResult both =
      sh("i=0; while [ $i -lt 64 ]; do head -c 65536 /dev/zero | tr '\\0' o; "
         "head -c 65536 /dev/zero | tr '\\0' e >&2; i=$((i+1)); done");
  EXPECT_EQ(both.exit_code, 0);
  EXPECT_EQ(both.stdout_text.size(), 4u << 20);
  EXPECT_EQ(both.stderr_text.size(), 4u << 20);
  EXPECT_EQ(both.stdout_text.find_first_not_of('o'), std::string::npos);
  EXPECT_EQ(both.stderr_text.find_first_not_of('e'), std::string::npos);

  std::string input(3u << 20, 'x');
  input[12345] = '\0';
  ProcessOptions options;
  options.argv = {"cat"};
  options.stdin_text = input;
  ProcessResult echoed = run_process(options);
  EXPECT_EQ(echoed.stdout_text, input);
}

TEST_F(ProcessTest, ExitStatusSignalAndEarlyClosedInput) {
  EXPECT_EQ(sh("exit 3").exit_code, 3);
  ProcessResult killed = sh("kill -TERM $$");
  EXPECT_EQ(killed.exit_code, -SIGTERM);
  EXPECT_EQ(killed.term_signal, SIGTERM);
  EXPECT_FALSE(killed.timed_out);

  // The reader stops after one byte; the rest of the input must not raise SIGPIPE here.
  ProcessOptions options;
  options.argv = {"head", "-c", "1"};
  options.stdin_text = std::string(8u << 20, 'y');
  ProcessResult partial = run_process(options);
  EXPECT_EQ(partial.stdout_text, "y");
  EXPECT_EQ(partial.exit_code, 0);

  // Without stdin_text the child reads /dev/null, never this process's input.
  EXPECT_EQ(sh("cat; echo done").stdout_text, "done\n");
}

TEST_F(ProcessTest, TimeOutKillsTheWholeGroupGrandchildrenIncluded) {
  std::string script = "sleep 60 & echo $! > " + (dir_ / "grandchild").string() + "; echo $$ > " +
                       (dir_ / "child").string() + "; echo started; sleep 60";
  ProcessOptions options;
  options.timeout = milliseconds(500);
  ProcessResult result = sh(script, options);
  EXPECT_TRUE(result.timed_out);
  EXPECT_EQ(result.term_signal, SIGKILL);
  EXPECT_EQ(result.stdout_text, "started\n");
  pid_t child = read_pid("child");
  pid_t grandchild = read_pid("grandchild");
  for (int attempt = 0; attempt < 100 && alive(grandchild); ++attempt) std::this_thread::sleep_for(milliseconds(20));
  EXPECT_FALSE(alive(child));
  EXPECT_FALSE(alive(grandchild));
}

TEST_F(ProcessTest, ChildWithinItsLimitIsNotMarkedTimedOut) {
  ProcessOptions options;
  options.timeout = milliseconds(30000);
  ProcessResult result = sh("echo quick", options);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.stdout_text, "quick\n");
}

TEST_F(ProcessTest, UncapturedOutputDoesNotWaitForHelpersLeftRunning) {
  // A viewer-like program starts a helper that outlives it; with output discarded the
  // call returns when the program itself exits, well before the limit.
  ProcessOptions options;
  options.capture_output = false;
  options.timeout = milliseconds(20000);
  ProcessResult result = sh("sleep 30 & echo $! > " + (dir_ / "helper").string() + "; echo hidden", options);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.stdout_text, "");
  ::kill(read_pid("helper"), SIGKILL);
}

TEST_F(ProcessTest, KeptOutputIsTheFirstAndLastPartOfEachStreamWithAMarker) {
  ProcessOptions options;
  options.keep_output = 1000;
  // Small output passes whole; large output keeps 1000 bytes at each end of each stream,
  // across many reads (3 MiB) and in one piece larger than the ring.
  EXPECT_EQ(sh("printf small; printf err >&2", options).stdout_text, "small");
  ProcessResult big =
      sh("printf 'HEAD'; head -c 3145728 /dev/zero | tr '\\0' m; printf 'TAIL'; "
         "printf 'EHEAD' >&2; head -c 100000 /dev/zero | tr '\\0' n >&2; printf 'ETAIL' >&2",
         options);
  EXPECT_EQ(big.exit_code, 0);
  std::string expected_out =
      "HEAD" + std::string(996, 'm') + dropped_output_marker(3145728 + 8 - 2000) + std::string(996, 'm') + "TAIL";
  EXPECT_EQ(big.stdout_text, expected_out);
  std::string expected_err =
      "EHEAD" + std::string(995, 'n') + dropped_output_marker(100010 - 2000) + std::string(995, 'n') + "ETAIL";
  EXPECT_EQ(big.stderr_text, expected_err);
  // Exactly twice the limit: nothing dropped, no marker.
  EXPECT_EQ(sh("head -c 2000 /dev/zero | tr '\\0' x", options).stdout_text, std::string(2000, 'x'));
}

TEST_F(ProcessTest, CancellationKillsTheGroupAtOnceAndBeforeTheStart) {
  auto signal = std::make_shared<CancelSignal>();
  ProcessOptions options;
  options.cancel = signal;
  options.timeout = milliseconds(60000);
  std::thread canceller([signal] {
    std::this_thread::sleep_for(milliseconds(300));
    signal->cancel();
  });
  auto started = std::chrono::steady_clock::now();
  ProcessResult result =
      sh("sleep 60 & echo $! > " + (dir_ / "grandchild").string() + "; echo started; sleep 60", options);
  canceller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_TRUE(result.cancelled);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.term_signal, SIGKILL);
  EXPECT_EQ(result.stdout_text, "started\n");
  pid_t grandchild = read_pid("grandchild");
  for (int attempt = 0; attempt < 100 && alive(grandchild); ++attempt) std::this_thread::sleep_for(milliseconds(20));
  EXPECT_FALSE(alive(grandchild));

  // Already cancelled: the program never starts.
  ProcessResult never = sh("touch " + (dir_ / "ran").string(), options);
  EXPECT_TRUE(never.cancelled);
  EXPECT_NE(never.exit_code, 0);
  EXPECT_FALSE(fs::exists(dir_ / "ran"));
}

TEST_F(ProcessTest, KillDescendantsEndsWhatLeftTheGroupOnSuccessFailureTimeOutAndCancel) {
  // setsid and a double fork both leave the process group; the reaper ends them anyway.
  const std::string escape = "setsid sleep 300 & echo $! > " + (dir_ / "setsid").string() +
                             "; (sh -c 'sleep 300 & echo $! > " + (dir_ / "double").string() + "' &); " +
                             "while [ ! -s " + (dir_ / "double").string() + " ]; do sleep 0.01; done; ";
  struct Case {
    std::string tail;
    std::optional<milliseconds> timeout;
    bool cancel;
  };
  for (const Case& run : {Case{"echo ok", std::nullopt, false}, Case{"echo bad >&2; exit 3", std::nullopt, false},
                          Case{"sleep 60", milliseconds(700), false}, Case{"sleep 60", std::nullopt, true}}) {
    SCOPED_TRACE(run.tail + (run.cancel ? " (cancelled)" : ""));
    fs::remove(dir_ / "setsid");
    fs::remove(dir_ / "double");
    ProcessOptions options;
    options.kill_descendants = true;
    options.timeout = run.timeout;
    auto signal = std::make_shared<CancelSignal>();
    options.cancel = signal;
    std::thread canceller([&] {
      if (!run.cancel) return;
      std::this_thread::sleep_for(milliseconds(700));
      signal->cancel();
    });
    auto started = std::chrono::steady_clock::now();
    ProcessResult result = sh(escape + run.tail, options);
    canceller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    pid_t setsid_pid = read_pid("setsid");
    pid_t double_pid = read_pid("double");
    EXPECT_FALSE(alive(setsid_pid));
    EXPECT_FALSE(alive(double_pid));
    if (run.tail == "echo ok") {
      EXPECT_EQ(result.exit_code, 0);
      EXPECT_EQ(result.stdout_text, "ok\n");
    } else if (run.timeout) {
      EXPECT_TRUE(result.timed_out);
      EXPECT_EQ(result.term_signal, SIGKILL);
    } else if (run.cancel) {
      EXPECT_TRUE(result.cancelled);
    } else {
      EXPECT_EQ(result.exit_code, 3);
      EXPECT_EQ(result.stderr_text, "bad\n");
    }
  }
  // A missing program is still the usual error, with the reaper too.
  ProcessOptions missing;
  missing.kill_descendants = true;
  missing.argv = {(dir_ / "no-such-program").string()};
  EXPECT_THROW(run_process(missing), FileNotFoundError);
}

TEST_F(ProcessTest, EnvironmentReplacementOverridesAndInheritance) {
  ScopedEnv inherited("VELKO_PROCESS_TEST_INHERITED", "from-parent");
  struct Case {
    std::optional<std::map<std::string, std::string>> env;
    std::map<std::string, std::string> overrides;
    std::string expected;
  };
  std::vector<Case> cases = {
      {std::nullopt, {}, "from-parent|"},
      {std::nullopt, {{"VELKO_PROCESS_TEST_EXTRA", "x y"}}, "from-parent|x y"},
      {std::map<std::string, std::string>{{"VELKO_PROCESS_TEST_EXTRA", "only"}}, {}, "|only"},
      {std::map<std::string, std::string>{{"VELKO_PROCESS_TEST_EXTRA", "old"}},
       {{"VELKO_PROCESS_TEST_EXTRA", "new"}},
       "|new"},
  };
  for (const auto& item : cases) {
    ProcessOptions options;
    options.env = item.env;
    options.env_overrides = item.overrides;
    ProcessResult result =
        sh("printf '%s|%s' \"$VELKO_PROCESS_TEST_INHERITED\" \"$VELKO_PROCESS_TEST_EXTRA\"", options);
    EXPECT_EQ(result.stdout_text, item.expected);
  }
  // A replaced environment holds exactly what was given.
  ProcessOptions options;
  options.argv = {"/usr/bin/env"};
  options.env = std::map<std::string, std::string>{{"ONLY", "1"}};
  EXPECT_EQ(run_process(options).stdout_text, "ONLY=1\n");
}

TEST_F(ProcessTest, WorkingDirectoryAndProgramLookUp) {
  ProcessOptions options;
  options.cwd = dir_;
  EXPECT_EQ(sh("pwd", options).stdout_text, fs::canonical(dir_).string() + "\n");

  options.cwd = dir_ / "missing";
  EXPECT_THROW(sh("pwd", options), FileNotFoundError);

  // The program is found in the child's PATH, which may differ from this process's.
  fs::create_directories(dir_ / "bin");
  write_file_atomic(dir_ / "bin" / "velko-hello", "#!/bin/sh\necho hello from bin\n", 0755);
  write_file_atomic(dir_ / "bin" / "velko-not-executable", "#!/bin/sh\n", 0644);
  ProcessOptions lookup;
  lookup.argv = {"velko-hello"};
  lookup.env_overrides = {{"PATH", (dir_ / "bin").string() + ":/usr/bin:/bin"}};
  EXPECT_EQ(run_process(lookup).stdout_text, "hello from bin\n");
  EXPECT_EQ(find_program("velko-hello", "/nonexistent::" + (dir_ / "bin").string()),
            (dir_ / "bin" / "velko-hello").string());
  EXPECT_EQ(find_program("velko-not-executable", (dir_ / "bin").string()), std::nullopt);
}

TEST_F(ProcessTest, MissingOrUnrunnableProgramIsAClearError) {
  ProcessOptions options;
  options.argv = {"kubectl-velko-missing", "get", "pods"};
  try {
    run_process(options);
    FAIL() << "expected FileNotFoundError";
  } catch (const FileNotFoundError& error) {
    EXPECT_STREQ(error.what(), "[Errno 2] No such file or directory: 'kubectl-velko-missing'");
  }
  options.argv = {(dir_ / "absent").string()};
  EXPECT_THROW(run_process(options), FileNotFoundError);

  write_file_atomic(dir_ / "plain", "data", 0644);
  options.argv = {(dir_ / "plain").string()};
  EXPECT_THROW(run_process(options), PermissionError);
  options.argv = {};
  EXPECT_THROW(run_process(options), ValueError);
}

TEST_F(ProcessTest, ConcurrentCallsNeverInheritEachOthersPipes) {
  // Each child lists its open descriptors while other threads spawn: only 0, 1, 2 and
  // the descriptor ls itself opens on /proc/self/fd may appear.
  std::vector<std::future<std::string>> runs;
  for (int thread_idx = 0; thread_idx < 8; ++thread_idx) {
    runs.push_back(std::async(std::launch::async, [] {
      std::string seen;
      for (int round = 0; round < 10; ++round) {
        ProcessOptions options;
        options.argv = {"ls", "/proc/self/fd"};
        options.stdin_text = "input";
        seen = run_process(options).stdout_text;
        if (seen != "0\n1\n2\n3\n") break;
      }
      return seen;
    }));
  }
  for (auto& run : runs) EXPECT_EQ(run.get(), "0\n1\n2\n3\n");
}

}  // namespace
}  // namespace velko::base
