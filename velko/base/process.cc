#include "velko/base/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
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

// Reads what is available from `fd` into `out`; closes `fd` at end of file or error.
void drain(Fd& fd, std::string& out) {
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

}  // namespace

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

ProcessResult run_process(const ProcessOptions& options) {
  if (options.argv.empty() || options.argv[0].empty()) throw ValueError("run_process: argv must name a program");

  std::map<std::string, std::string> env = options.env ? *options.env : environment();
  for (const auto& [name, value] : options.env_overrides) env[name] = value;

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

  std::vector<std::string> argv_texts = options.argv;
  std::vector<std::string> env_texts;
  env_texts.reserve(env.size());
  for (const auto& [key, value] : env) env_texts.push_back(key + "=" + value);
  std::vector<char*> argv_ptrs = c_strings(argv_texts);
  std::vector<char*> env_ptrs = c_strings(env_texts);

  Pipe out, err, in;
  if (options.capture_output) {
    out = make_pipe();
    err = make_pipe();
  }
  if (options.stdin_text) in = make_pipe();

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
    posix_spawn_file_actions_adddup2(actions, in.read_end.get(), STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  if (options.capture_output) {
    posix_spawn_file_actions_adddup2(actions, out.write_end.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(actions, err.write_end.get(), STDERR_FILENO);
  } else {
    posix_spawn_file_actions_addopen(actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  if (options.cwd) posix_spawn_file_actions_addchdir_np(actions, options.cwd->c_str());
  // Descriptors this process inherited without close-on-exec stay here too.
  posix_spawn_file_actions_addclosefrom_np(actions, STDERR_FILENO + 1);

  pid_t pid = -1;
  int spawn_error = ::posix_spawn(&pid, program.c_str(), actions, setup.attr(), argv_ptrs.data(), env_ptrs.data());
  if (spawn_error != 0) throw_spawn_error(spawn_error, name);

  // The child holds its own ends now.
  out.write_end.reset();
  err.write_end.reset();
  in.read_end.reset();
  for (Fd* fd : {&out.read_end, &err.read_end, &in.write_end}) {
    if (fd->open()) set_nonblocking(fd->get());
  }

  ProcessResult result;
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
    drain(out.read_end, result.stdout_text);
    drain(err.read_end, result.stderr_text);
    if (options.stdin_text) feed(in.write_end, *options.stdin_text, stdin_written);
    if (!leader_exited) leader_exited = exited_without_reaping(pid);

    if (deadline && !result.timed_out && Clock::now() >= *deadline) {
      // The leader is not reaped yet, so its pid still names the group.
      ::kill(-pid, SIGKILL);
      result.timed_out = true;
      in.write_end.reset();
      drain_deadline = Clock::now() + DRAIN_AFTER_KILL;
    }
  }

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
  return result;
}

}  // namespace velko::base
