// Running a program as a child process: an argument list without a shell, an
// environment, a working directory, optional standard input, both output streams
// captured, and a time limit that ends the child's whole process group.
//
// The child starts in a new session (so in its own process group, whose id is the
// child's pid); every process it starts stays in that group unless it leaves on purpose.
// When the time limit passes, SIGKILL goes to the whole group, grandchildren included.
//
// Output of any size is captured without deadlock: one poll loop writes standard input
// and reads both streams as they arrive. With ProcessOptions::keep_output set, only the
// first and last that many bytes of each stream are kept (a marker names what was
// dropped), so a child writing gigabytes costs this process a bounded amount of memory.
// run_process() may be called from several threads at once: the child gets standard
// input, output and error only (every other descriptor is closed), so concurrent
// children never inherit each other's pipes.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "velko/base/cancel.h"

namespace velko::base {

// What callers running untrusted programs keep of each output stream, at each end.
inline constexpr size_t OUTPUT_KEEP_BYTES = 64 * 1024;

// The text put between the kept first and last parts of a stream that was cut:
// "\n[... N bytes dropped ...]\n".
std::string dropped_output_marker(unsigned long long dropped_bytes);

struct ProcessOptions {
  // argv[0] is the program: a path when it contains "/", else looked up in the PATH of
  // the child's environment (this process's PATH when the child's has none).
  std::vector<std::string> argv;
  // The child's whole environment; nullopt inherits this process's environment.
  std::optional<std::map<std::string, std::string>> env;
  // Variables set on top of the inherited or given environment (they win).
  std::map<std::string, std::string> env_overrides;
  // The child's working directory; nullopt keeps this process's.
  std::optional<std::filesystem::path> cwd;
  // Written to the child's standard input, which is then closed. nullopt connects
  // standard input to /dev/null.
  std::optional<std::string> stdin_text;
  // Time limit for the child; nullopt waits as long as it takes.
  std::optional<std::chrono::milliseconds> timeout;
  // false sends both output streams to /dev/null instead of capturing them (for
  // programs that leave long-lived helpers behind, such as desktop viewers).
  bool capture_output = true;
  // nullopt keeps all output. N keeps the first N and the last N bytes of each stream;
  // when more arrived, the captured text is the first part, dropped_output_marker() and
  // the last part.
  std::optional<size_t> keep_output;
  // true: descendants that leave the process group (setsid, double fork) end with the
  // call too. The child then runs under a small reaper process (a child subreaper) that,
  // once the program has exited or the call has ended, kills every process left below it.
  bool kill_descendants = false;
  // Set by the caller to end the child early: the whole process group is killed as at
  // the time limit and the result has `cancelled` true. Null when it cannot be cancelled.
  CancelSignalPtr cancel = nullptr;
};

struct ProcessResult {
  // The exit status; when a signal ended the child, minus the signal number.
  int exit_code = 0;
  // The signal that ended the child, if one did (SIGKILL after a time-out or a
  // cancellation).
  std::optional<int> term_signal;
  // True when the time limit passed and the process group was killed.
  bool timed_out = false;
  // True when ProcessOptions::cancel ended the child.
  bool cancelled = false;
  // What the child wrote, as bytes (up to the time-out when it timed out), cut as
  // ProcessOptions::keep_output says.
  std::string stdout_text;
  std::string stderr_text;
};

// Runs the program and waits for it (and, when output is captured, for every process
// holding its output pipes, up to the time limit). A cancellation (ProcessOptions::cancel,
// before or during the run) kills the whole group at once and returns with `cancelled`. A program that runs and fails
// is a result, never an exception. Throws FileNotFoundError "[Errno 2] No such file or directory: '<program>'" when the
// program does not exist, PermissionError when it cannot be executed, ValueError for an empty argv, OSError for other
// start failures.
ProcessResult run_process(const ProcessOptions& options);

// The absolute path of `program` found in `path_value` (a PATH text, ":"-separated;
// empty entries mean the current directory), or nullopt. Only regular, executable files
// count. A `program` containing "/" is returned as it is when executable.
std::optional<std::string> find_program(const std::string& program, const std::string& path_value);

}  // namespace velko::base
