#include "velko/base/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/files.h"

namespace velko::base {
namespace {

using Clock = std::chrono::steady_clock;

// How long output is still read after the group was killed: processes that left the
// group may hold the pipes open, and they are not waited for beyond this.
constexpr std::chrono::milliseconds DRAIN_AFTER_KILL{2000};
// Poll period for noticing the child's exit where pidfd_open is not available.
constexpr int EXIT_POLL_MS = 20;
constexpr size_t CHUNK = 65536;

// A file descriptor closed on destruction.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset(other.fd_);
      other.fd_ = -1;
    }
    return *this;
  }
  int get() const { return fd_; }
  bool open() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

struct Pipe {
  Fd read_end, write_end;
};

Pipe make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw_os_error(errno, "pipe", "pipe");
  Pipe pipe;
  pipe.read_end.reset(fds[0]);
  pipe.write_end.reset(fds[1]);
  return pipe;
}

void set_nonblocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// posix_spawn's attribute and file-action objects, destroyed on every path.
class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawnattr_init(&attr_);
    posix_spawn_file_actions_init(&actions_);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  posix_spawnattr_t* attr() { return &attr_; }
  posix_spawn_file_actions_t* actions() { return &actions_; }

 private:
  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
};

// One captured stream: everything, or its first and last `keep` bytes (the last ones in a
// ring) and the count of bytes dropped between them.
class Capture {
 public:
  explicit Capture(std::optional<size_t> keep) : keep_(keep) {}

  void append(const char* data, size_t size) {
    if (!keep_) {
      head_.append(data, size);
      return;
    }
    const size_t keep = *keep_;
    size_t to_head = std::min(size, keep - std::min(keep, head_.size()));
    head_.append(data, to_head);
    data += to_head;
    size -= to_head;
    if (size == 0) return;
    if (keep == 0) {
      tail_total_ += size;
      return;
    }
    if (ring_.size() < keep) ring_.resize(keep);
    if (size > keep) {  // only the last `keep` bytes of this piece can last
      tail_total_ += size - keep;
      data += size - keep;
      size = keep;
    }
    size_t first = std::min(size, keep - pos_);
    std::memcpy(ring_.data() + pos_, data, first);
    std::memcpy(ring_.data(), data + first, size - first);
    pos_ = (pos_ + size) % keep;
    tail_total_ += size;
  }

  std::string take() {
    std::string out = std::move(head_);
    if (!keep_ || tail_total_ == 0) return out;
    const size_t keep = *keep_;
    if (tail_total_ <= keep) {
      out.append(ring_.data(), tail_total_);
      return out;
    }
    out += dropped_output_marker(tail_total_ - keep);
    if (keep > 0) {
      out.append(ring_.data() + pos_, keep - pos_);
      out.append(ring_.data(), pos_);
    }
    return out;
  }

 private:
  const std::optional<size_t> keep_;
  std::string head_;
  std::string ring_;  // the last bytes after the head, written at pos_
  size_t pos_ = 0;
  unsigned long long tail_total_ = 0;  // bytes that went past the head
};

// Reads what is available from `fd` into `out`; closes `fd` at end of file or error.
void drain(Fd& fd, Capture& out) {
  char buffer[CHUNK];
  while (fd.open()) {
    ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got > 0) {
      out.append(buffer, static_cast<size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    fd.reset();  // end of file, or an error that ends the stream
  }
}

// Writes the next part of `data` to `fd` without letting a closed pipe raise SIGPIPE in
// this process; closes `fd` when everything is written or the reader has gone.
void feed(Fd& fd, const std::string& data, size_t& written) {
  sigset_t pipe_signal, previous;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
  while (fd.open() && written < data.size()) {
    ssize_t put = ::write(fd.get(), data.data() + written, std::min(CHUNK, data.size() - written));
    if (put > 0) {
      written += static_cast<size_t>(put);
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (put < 0 && errno == EPIPE) {
      timespec no_wait{0, 0};
      sigtimedwait(&pipe_signal, nullptr, &no_wait);  // the SIGPIPE this write raised
    }
    fd.reset();
  }
  if (fd.open() && written >= data.size()) fd.reset();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

int pidfd_open(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

// Whether the child has exited, without reaping it (its pid, and so its process group
// id, stays reserved until waitpid).
bool exited_without_reaping(pid_t pid) {
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return errno == ECHILD;
  return info.si_pid == pid;
}

int ms_until(Clock::time_point when) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 1000000 ? 1000000 : static_cast<int>(left);
}

std::vector<char*> c_strings(std::vector<std::string>& texts) {
  std::vector<char*> out;
  out.reserve(texts.size() + 1);
  for (auto& text : texts) out.push_back(text.data());
  out.push_back(nullptr);
  return out;
}

[[noreturn]] void throw_spawn_error(int error, const std::string& program) {
  std::string message = "[Errno " + std::to_string(error) + "] " + std::strerror(error) + ": '" + program + "'";
  if (error == ENOENT) throw FileNotFoundError(message);
  if (error == EACCES || error == EPERM) throw PermissionError(message);
  throw OSError(message);
}

// ---------------------------------------------------------------------------------------
// The reaper for ProcessOptions::kill_descendants. It runs in a forked copy of this
// (possibly multi-threaded) process, so it uses system calls only: no allocation, no
// locks. It is a child subreaper, so every orphan below it becomes its child; it starts
// the program, waits for it (or for SIGTERM from run_process at a time-out or a
// cancellation), then kills its children until none is left, and ends the way the
// program ended.

// The parent pid in /proc/<pid>/stat ("pid (comm) state ppid ..."), or -1.
pid_t parent_of(const char* pid_text) {
  char path[64] = "/proc/";
  size_t len = 6;
  for (const char* c = pid_text; *c != '\0' && len < sizeof path - 6; ++c) path[len++] = *c;
  const char* tail = "/stat";
  for (const char* c = tail; *c != '\0'; ++c) path[len++] = *c;
  path[len] = '\0';
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char buffer[512];
  ssize_t got = ::read(fd, buffer, sizeof buffer - 1);
  ::close(fd);
  if (got <= 0) return -1;
  buffer[got] = '\0';
  ssize_t paren = -1;
  for (ssize_t idx = 0; idx < got; ++idx) {
    if (buffer[idx] == ')') paren = idx;
  }
  if (paren < 0 || paren + 4 >= got) return -1;
  const char* ppid_text = buffer + paren + 4;  // past ") S "
  long value = 0;
  bool any = false;
  while (*ppid_text >= '0' && *ppid_text <= '9') {
    value = value * 10 + (*ppid_text++ - '0');
    any = true;
  }
  return any ? static_cast<pid_t>(value) : -1;
}

// Sends SIGKILL to every child of this process; returns how many were found.
int kill_children() {
  int found = 0;
  int dir = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return 0;
  pid_t self = ::getpid();
  alignas(8) char buffer[8192];
  while (true) {
    long got = ::syscall(SYS_getdents64, dir, buffer, sizeof buffer);
    if (got <= 0) break;
    for (long offset = 0; offset < got;) {
      // struct linux_dirent64: u64 ino, s64 off, u16 reclen, u8 type, char name[]
      unsigned short reclen;
      std::memcpy(&reclen, buffer + offset + 16, sizeof reclen);
      const char* name = buffer + offset + 19;
      offset += reclen;
      if (name[0] < '0' || name[0] > '9') continue;
      if (parent_of(name) != self) continue;
      long pid = 0;
      for (const char* c = name; *c >= '0' && *c <= '9'; ++c) pid = pid * 10 + (*c - '0');
      ::kill(static_cast<pid_t>(pid), SIGKILL);
      ++found;
    }
  }
  ::close(dir);
  return found;
}

[[noreturn]] void run_reaper(const char* program, char* const* argv, char* const* envp, int error_fd) {
  ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
  sigset_t waited;
  sigemptyset(&waited);
  sigaddset(&waited, SIGCHLD);
  sigaddset(&waited, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &waited, nullptr);
  pid_t child = ::fork();
  if (child < 0) ::_exit(127);
  if (child == 0) {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(program, argv, envp);
    int error = errno;
    ssize_t ignored = ::write(error_fd, &error, sizeof error);
    (void)ignored;
    ::_exit(127);
  }
  ::close(error_fd);
  int status = 0;
  bool done = false;
  while (!done) {
    siginfo_t info;
    int sig = ::sigwaitinfo(&waited, &info);
    if (sig == SIGTERM) {
      ::kill(child, SIGKILL);
    }
    int reaped_status = 0;
    pid_t reaped;
    while ((reaped = ::waitpid(-1, &reaped_status, WNOHANG)) > 0) {
      if (reaped == child) {
        status = reaped_status;
        done = true;
      }
    }
  }
  // The program has ended: end whatever it left behind, grandchildren included (each
  // one killed hands its own children to this reaper).
  while (true) {
    kill_children();
    pid_t reaped = ::waitpid(-1, nullptr, 0);
    if (reaped < 0 && errno == ECHILD) break;
  }
  if (WIFSIGNALED(status)) {
    int sig = WTERMSIG(status);
    ::signal(sig, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::kill(::getpid(), sig);
    ::_exit(128 + sig);
  }
  ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 127);
}

// Starts the reaper with the child's descriptors, session, signals and directory set up
// as posix_spawn would; returns its pid. Throws like posix_spawn's failures.
pid_t spawn_with_reaper(const std::string& program, const std::string& name, char* const* argv, char* const* envp,
                        int stdin_fd, int stdout_fd, int stderr_fd, const std::optional<std::filesystem::path>& cwd) {
  Pipe report = make_pipe();
  pid_t pid = ::fork();
  if (pid < 0) throw_spawn_error(errno, name);
  if (pid == 0) {
    ::setsid();
    int null_in = stdin_fd < 0 ? ::open("/dev/null", O_RDONLY) : stdin_fd;
    int null_out = stdout_fd < 0 ? ::open("/dev/null", O_WRONLY) : stdout_fd;
    int null_err = stderr_fd < 0 ? ::open("/dev/null", O_WRONLY) : stderr_fd;
    ::dup2(null_in, STDIN_FILENO);
    ::dup2(null_out, STDOUT_FILENO);
    ::dup2(null_err, STDERR_FILENO);
    const int error_fd = 3;
    if (report.write_end.get() != error_fd) ::dup2(report.write_end.get(), error_fd);
    ::fcntl(error_fd, F_SETFD, FD_CLOEXEC);
    // Every other descriptor closes, as with posix_spawn's closefrom.
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, error_fd + 1, ~0U, 0) != 0)
#endif
    {
      for (int fd = error_fd + 1; fd < 65536; ++fd) ::close(fd);
    }
    for (int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGCHLD, SIGALRM, SIGXFSZ}) {
      ::signal(sig, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (cwd && ::chdir(cwd->c_str()) != 0) {
      int error = errno;
      ssize_t ignored = ::write(error_fd, &error, sizeof error);
      (void)ignored;
      ::_exit(127);
    }
    run_reaper(program.c_str(), argv, envp, error_fd);
  }
  report.write_end.reset();
  int error = 0;
  ssize_t got;
  do {
    got = ::read(report.read_end.get(), &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof error)) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    throw_spawn_error(error, name);
  }
  return pid;
}
}  // namespace

std::string dropped_output_marker(unsigned long long dropped_bytes) {
  return "\n[... " + std::to_string(dropped_bytes) + " bytes dropped ...]\n";
}

std::optional<std::string> find_program(const std::string& program, const std::string& path_value) {
  auto runnable = [](const std::string& candidate) {
    struct stat info;
    return ::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(candidate.c_str(), X_OK) == 0;
  };
  if (program.empty()) return std::nullopt;
  if (program.find('/') != std::string::npos) {
    return runnable(program) ? std::optional<std::string>(program) : std::nullopt;
  }
  size_t start = 0;
  while (start <= path_value.size()) {
    size_t end = path_value.find(':', start);
    if (end == std::string::npos) end = path_value.size();
    std::string dir = path_value.substr(start, end - start);
    if (dir.empty()) dir = ".";
    std::string candidate = dir + "/" + program;
    if (runnable(candidate)) return candidate;
    start = end + 1;
  }
  return std::nullopt;
}

namespace {

// The program to run: argv[0] itself when it holds a "/", else found in the PATH of the
// child's environment (or of this process). Also checks the working directory. Throws
// what throw_spawn_error throws.
std::string resolve_program(const ProcessOptions& options, const std::map<std::string, std::string>& env) {
  const std::string& name = options.argv[0];
  std::string program = name;
  if (name.find('/') == std::string::npos) {
    auto path_entry = env.find("PATH");
    std::string path_value =
        path_entry != env.end() ? path_entry->second : getenv_opt("PATH").value_or("/usr/local/bin:/usr/bin:/bin");
    auto found = find_program(name, path_value);
    if (!found) throw_spawn_error(ENOENT, name);
    program = *found;
  }
  if (options.cwd) {
    struct stat info;
    if (::stat(options.cwd->c_str(), &info) != 0) throw_spawn_error(errno, options.cwd->string());
    if (!S_ISDIR(info.st_mode)) throw_spawn_error(ENOTDIR, options.cwd->string());
  }
  return program;
}

// The pipes between this process and the child; a stream the options do not capture or
// feed has none.
struct ChildPipes {
  Pipe out, err, in;
};

// Starts the child in a session of its own, with default signal handling and no blocked
// signals, its streams on `pipes` (or /dev/null), and no other inherited descriptor.
// With kill_descendants it runs under the reaper. Returns its pid; throws what
// throw_spawn_error throws.
pid_t spawn_child(const ProcessOptions& options, const std::string& program, std::vector<char*>& argv,
                  std::vector<char*>& envp, ChildPipes& pipes) {
  const std::string& name = options.argv[0];
  if (options.kill_descendants) {
    return spawn_with_reaper(program, name, argv.data(), envp.data(), options.stdin_text ? pipes.in.read_end.get() : -1,
                             options.capture_output ? pipes.out.write_end.get() : -1,
                             options.capture_output ? pipes.err.write_end.get() : -1, options.cwd);
  }
  SpawnSetup setup;
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(setup.attr(), &signals);
  for (int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGCHLD, SIGALRM, SIGXFSZ}) {
    sigaddset(&signals, sig);
  }
  posix_spawnattr_setsigdefault(setup.attr(), &signals);
  posix_spawnattr_setflags(setup.attr(), POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawn_file_actions_t* actions = setup.actions();
  if (options.stdin_text) {
    posix_spawn_file_actions_adddup2(actions, pipes.in.read_end.get(), STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  if (options.capture_output) {
    posix_spawn_file_actions_adddup2(actions, pipes.out.write_end.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(actions, pipes.err.write_end.get(), STDERR_FILENO);
  } else {
    posix_spawn_file_actions_addopen(actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  if (options.cwd) posix_spawn_file_actions_addchdir_np(actions, options.cwd->c_str());
  // Descriptors this process inherited without close-on-exec stay here too.
  posix_spawn_file_actions_addclosefrom_np(actions, STDERR_FILENO + 1);
  pid_t pid = -1;
  int spawn_error = ::posix_spawn(&pid, program.c_str(), actions, setup.attr(), argv.data(), envp.data());
  if (spawn_error != 0) throw_spawn_error(spawn_error, name);
  return pid;
}

// Feeds stdin and collects stdout and stderr until the child's streams close and it has
// exited, ending its group at the time limit or on cancellation (and then waiting at most
// DRAIN_AFTER_KILL for the rest). Sets result's outputs, timed_out and cancelled; does not
// reap the child. Throws OSError when poll fails (the group is killed and reaped first).
void supervise(const ProcessOptions& options, const std::string& program, pid_t pid, ChildPipes& pipes,
               ProcessResult& result) {
  Pipe& out = pipes.out;
  Pipe& err = pipes.err;
  Pipe& in = pipes.in;
  for (Fd* fd : {&out.read_end, &err.read_end, &in.write_end}) {
    if (fd->open()) set_nonblocking(fd->get());
  }

  Capture stdout_capture(options.keep_output), stderr_capture(options.keep_output);
  // A cancellation wakes the poll below through this pipe.
  Pipe wake = make_pipe();
  set_nonblocking(wake.write_end.get());
  set_nonblocking(wake.read_end.get());
  base::CancelSignal::Subscription cancel_subscription = on_cancel(options.cancel, [fd = wake.write_end.get()] {
    char byte = 1;
    ssize_t ignored = ::write(fd, &byte, 1);
    (void)ignored;
  });
  // Ends the group: through the reaper when there is one (it kills what left the group,
  // then itself), else SIGKILL to the whole group. The leader is not reaped yet, so its pid
  // still names the group.
  auto end_group = [&] { ::kill(options.kill_descendants ? pid : -pid, options.kill_descendants ? SIGTERM : SIGKILL); };
  Fd exit_fd(pidfd_open(pid));
  bool leader_exited = false;
  size_t stdin_written = 0;
  std::optional<Clock::time_point> deadline;
  if (options.timeout) deadline = Clock::now() + *options.timeout;
  std::optional<Clock::time_point> drain_deadline;

  while (true) {
    bool streams_open = out.read_end.open() || err.read_end.open() || in.write_end.open();
    if (!streams_open && leader_exited) break;
    if (drain_deadline && Clock::now() >= *drain_deadline) break;

    std::vector<pollfd> polled;
    auto watch = [&polled](const Fd& fd, short events) {
      if (fd.open()) polled.push_back(pollfd{fd.get(), events, 0});
    };
    watch(out.read_end, POLLIN);
    watch(err.read_end, POLLIN);
    watch(in.write_end, POLLOUT);
    if (!leader_exited) watch(exit_fd, POLLIN);
    if (!result.cancelled) watch(wake.read_end, POLLIN);

    int wait_ms = -1;
    if (drain_deadline) {
      wait_ms = ms_until(*drain_deadline);
    } else if (deadline) {
      wait_ms = ms_until(*deadline);
    }
    if (!leader_exited && !exit_fd.open()) wait_ms = wait_ms < 0 ? EXIT_POLL_MS : std::min(wait_ms, EXIT_POLL_MS);

    int ready = ::poll(polled.data(), polled.size(), wait_ms);
    if (ready < 0 && errno != EINTR) {
      int saved = errno;
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      throw_os_error(saved, "poll", program);
    }
    drain(out.read_end, stdout_capture);
    drain(err.read_end, stderr_capture);
    if (options.stdin_text) feed(in.write_end, *options.stdin_text, stdin_written);
    if (!leader_exited) leader_exited = exited_without_reaping(pid);

    bool stopping = result.timed_out || result.cancelled;
    if (!stopping && is_cancelled(options.cancel)) {
      result.cancelled = true;
    } else if (!stopping && deadline && Clock::now() >= *deadline) {
      result.timed_out = true;
    }
    if (!stopping && (result.timed_out || result.cancelled)) {
      if (!leader_exited) end_group();
      if (!options.kill_descendants) ::kill(-pid, SIGKILL);  // also when the leader is gone
      in.write_end.reset();
      drain_deadline = Clock::now() + DRAIN_AFTER_KILL;
    }
  }
  cancel_subscription.reset();
  // A reaper that did not finish within the drain time goes with its whole group.
  if (options.kill_descendants && !exited_without_reaping(pid)) ::kill(-pid, SIGKILL);
  result.stdout_text = stdout_capture.take();
  result.stderr_text = stderr_capture.take();
}

// Reaps the child and records how it ended: its exit status, or the signal that ended it
// (as a negative exit code).
void reap(pid_t pid, ProcessResult& result) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      status = 0;
      break;
    }
  }
  if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.term_signal = WTERMSIG(status);
    result.exit_code = -WTERMSIG(status);
  }
}

}  // namespace

ProcessResult run_process(const ProcessOptions& options) {
  if (options.argv.empty() || options.argv[0].empty()) throw ValueError("run_process: argv must name a program");

  std::map<std::string, std::string> env = options.env ? *options.env : environment();
  for (const auto& [name, value] : options.env_overrides) env[name] = value;
  const std::string program = resolve_program(options, env);

  std::vector<std::string> argv_texts = options.argv;
  std::vector<std::string> env_texts;
  env_texts.reserve(env.size());
  for (const auto& [key, value] : env) env_texts.push_back(key + "=" + value);
  std::vector<char*> argv_ptrs = c_strings(argv_texts);
  std::vector<char*> env_ptrs = c_strings(env_texts);

  ProcessResult result;
  if (is_cancelled(options.cancel)) {  // cancelled before it started: nothing runs
    result.cancelled = true;
    result.exit_code = -SIGKILL;
    return result;
  }

  ChildPipes pipes;
  if (options.capture_output) {
    pipes.out = make_pipe();
    pipes.err = make_pipe();
  }
  if (options.stdin_text) pipes.in = make_pipe();
  pid_t pid = spawn_child(options, program, argv_ptrs, env_ptrs, pipes);
  // The child holds its own ends now.
  pipes.out.write_end.reset();
  pipes.err.write_end.reset();
  pipes.in.read_end.reset();

  supervise(options, program, pid, pipes, result);
  reap(pid, result);
  return result;
}

}  // namespace velko::base
