#include "velko/platform/sandbox/local_sandbox.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/files.h"
#include "velko/base/json.h"
#include "velko/base/process.h"
#include "velko/base/strings.h"

namespace velko::platform::sandbox {
namespace {

namespace fs = std::filesystem;

// Symbolic links followed in one path before giving up, as the kernel does.
constexpr int MAX_LINKS = 40;

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::deque<std::string> components_of(std::string_view path) {
  std::deque<std::string> parts;
  for (std::string_view piece : base::split(path, '/')) {
    if (!piece.empty() && piece != ".") parts.emplace_back(piece);
  }
  return parts;
}

[[noreturn]] void refuse(const std::string& shown) {
  throw base::PermissionError("Path is outside " + std::string(SANDBOX_HOME) + ": '" + shown + "'");
}

// The components below /home/user of a sandbox path (absolute, or relative to the home).
std::deque<std::string> home_relative(const std::string& path) {
  if (path.empty()) throw base::ValueError("Sandbox path must not be empty");
  if (path.find('\0') != std::string::npos) throw base::ValueError("Sandbox path must not contain NUL");
  std::deque<std::string> parts = components_of(path);
  if (path[0] != '/') return parts;
  if (parts.size() < 2 || parts[0] != "home" || parts[1] != "user") refuse(path);
  parts.pop_front();
  parts.pop_front();
  return parts;
}

// A file inside the sandbox directory: the directory that holds it and its name there
// (empty name: the sandbox home itself).
struct Located {
  Fd dir;
  std::string name;
};

// Walks `parts` from the sandbox directory the way the sandbox resolves them: ".." and
// symbolic links are followed, an absolute link target is read as a sandbox path, and
// nothing may lead above the sandbox home. With `make_dirs`, missing directories on the
// way are created. The last component is followed when it is a link.
Located locate(const fs::path& home, std::deque<std::string> parts, bool make_dirs, const std::string& shown) {
  std::vector<Fd> stack;
  stack.emplace_back(::open(home.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (stack.back().get() < 0) base::throw_os_error(errno, "open", shown);
  int links = 0;
  while (!parts.empty()) {
    std::string part = std::move(parts.front());
    parts.pop_front();
    if (part == ".") continue;
    if (part == "..") {
      if (stack.size() == 1) refuse(shown);
      stack.pop_back();
      continue;
    }
    int dir = stack.back().get();
    struct stat info;
    if (::fstatat(dir, part.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) base::throw_os_error(errno, "stat", shown);
      if (parts.empty()) return Located{std::move(stack.back()), part};
      if (!make_dirs) base::throw_os_error(ENOENT, "stat", shown);
      if (::mkdirat(dir, part.c_str(), 0755) != 0 && errno != EEXIST) base::throw_os_error(errno, "mkdir", shown);
      parts.push_front(part);  // open it on the next round
      continue;
    }
    if (S_ISLNK(info.st_mode)) {
      if (++links > MAX_LINKS) base::throw_os_error(ELOOP, "readlink", shown);
      char target[4096];
      ssize_t length = ::readlinkat(dir, part.c_str(), target, sizeof target - 1);
      if (length < 0) base::throw_os_error(errno, "readlink", shown);
      std::string link(target, static_cast<size_t>(length));
      std::deque<std::string> followed = components_of(link);
      if (!link.empty() && link[0] == '/') {
        if (followed.size() < 2 || followed[0] != "home" || followed[1] != "user") refuse(shown);
        followed.pop_front();
        followed.pop_front();
        stack.resize(1);
      }
      parts.insert(parts.begin(), followed.begin(), followed.end());
      continue;
    }
    if (parts.empty()) return Located{std::move(stack.back()), part};
    if (!S_ISDIR(info.st_mode)) base::throw_os_error(ENOTDIR, "open", shown);
    Fd next(::openat(dir, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (next.get() < 0) base::throw_os_error(errno, "open", shown);
    stack.push_back(std::move(next));
  }
  return Located{std::move(stack.back()), ""};
}

class LocalFiles : public SandboxFiles {
 public:
  explicit LocalFiles(fs::path home) : home_(std::move(home)) {}

  void write(const std::string& path, std::string_view data) override {
    Located at = locate(home_, home_relative(path), true, path);
    if (at.name.empty()) base::throw_os_error(EISDIR, "open", path);
    Fd file(::openat(at.dir.get(), at.name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (file.get() < 0) base::throw_os_error(errno, "open", path);
    size_t written = 0;
    while (written < data.size()) {
      ssize_t put = ::write(file.get(), data.data() + written, data.size() - written);
      if (put < 0) {
        if (errno == EINTR) continue;
        base::throw_os_error(errno, "write", path);
      }
      written += static_cast<size_t>(put);
    }
  }

  std::string read(const std::string& path, const std::string& format) override {
    if (format != "bytes" && format != "text") {
      throw base::ValueError("Unsupported read format: '" + format + "' (use 'bytes' or 'text')");
    }
    Located at = locate(home_, home_relative(path), false, path);
    if (at.name.empty()) base::throw_os_error(EISDIR, "read", path);
    Fd file(::openat(at.dir.get(), at.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (file.get() < 0) base::throw_os_error(errno, "open", path);
    std::string data;
    char buffer[65536];
    while (true) {
      ssize_t got = ::read(file.get(), buffer, sizeof buffer);
      if (got < 0) {
        if (errno == EINTR) continue;
        base::throw_os_error(errno, "read", path);
      }
      if (got == 0) break;
      data.append(buffer, static_cast<size_t>(got));
    }
    return data;
  }

 private:
  const fs::path home_;
};

bool is_under(const fs::path& path, const fs::path& dir) {
  auto [dir_end, path_it] = std::mismatch(dir.begin(), dir.end(), path.begin(), path.end());
  return dir_end == dir.end();
}

// The interpreter that `python` runs in the sandbox, or nullopt when there is none.
std::optional<std::string> sandbox_python(const LocalSandboxOptions& options) {
  if (options.python) return options.python;
  if (auto chosen = base::getenv_opt("VELKO_SANDBOX_PYTHON"); chosen && !chosen->empty()) return chosen;
  if (auto found = base::find_program("python", SANDBOX_PATH)) return found;
  return base::find_program("python3", SANDBOX_PATH);
}

class LocalCommands : public SandboxCommands {
 public:
  LocalCommands(fs::path home, fs::path root, int timeout_seconds, LocalSandboxOptions options)
      : home_(std::move(home)),
        root_(std::move(root)),
        timeout_seconds_(timeout_seconds),
        options_(std::move(options)) {}

  CommandResult run(const std::string& command, const std::optional<std::string>& cwd,
                    const std::map<std::string, std::string>& envs) override {
    std::string bwrap = bubblewrap();
    std::string dir = SANDBOX_HOME;
    if (cwd && !cwd->empty()) dir = (*cwd)[0] == '/' ? *cwd : std::string(SANDBOX_HOME) + "/" + *cwd;

    base::ProcessOptions process;
    process.argv = mounts(bwrap);
    for (const char* arg : {"--chdir", dir.c_str(), "--", "/bin/sh", "-c"}) process.argv.emplace_back(arg);
    process.argv.push_back(command);
    process.env = std::map<std::string, std::string>{{"PATH", std::string(SANDBOX_BIN) + ":" + SANDBOX_PATH},
                                                     {"HOME", SANDBOX_HOME},
                                                     {"USER", "user"},
                                                     {"LANG", "C.UTF-8"}};
    process.env_overrides = envs;
    process.timeout = std::chrono::seconds(timeout_seconds_);
    base::ProcessResult result = base::run_process(process);
    if (result.timed_out) {
      throw base::TimeoutError("Sandbox command timed out after " + std::to_string(timeout_seconds_) + " seconds");
    }
    if (result.exit_code == 1 && base::starts_with(result.stderr_text, "bwrap: ")) check_bubblewrap(bwrap);
    return CommandResult{std::move(result.stdout_text), std::move(result.stderr_text), result.exit_code};
  }

 private:
  std::string bubblewrap() const {
    auto found = base::find_program(options_.bwrap, base::getenv_opt("PATH").value_or(SANDBOX_PATH));
    if (!found) {
      throw base::RuntimeError("bubblewrap ('" + options_.bwrap +
                               "') was not found; the local sandbox needs it to run commands "
                               "(Debian package: bubblewrap)");
    }
    return *found;
  }

  // bubblewrap's arguments up to the working directory: the host read-only, the user's
  // home and other sandboxes hidden, this sandbox's directory at /home/user.
  std::vector<std::string> mounts(const std::string& bwrap) const {
    std::vector<std::string> argv = {bwrap, "--ro-bind", "/", "/", "--tmpfs", "/home"};
    std::vector<fs::path> shown = {"/home", "/tmp"};
    try {
      fs::path user_home = fs::path(base::home_dir()).lexically_normal();
      if (user_home != "/" && !is_under(user_home, "/home") && !is_under(user_home, "/tmp")) {
        argv.insert(argv.end(), {"--tmpfs", user_home.string()});
        shown.push_back(user_home);
      }
    } catch (const base::Error&) {
      // No home directory to hide.
    }
    bool root_hidden = false;
    for (const auto& dir : shown) root_hidden = root_hidden || is_under(root_, dir);
    if (!root_hidden && root_ != "/") argv.insert(argv.end(), {"--tmpfs", root_.string()});
    argv.insert(argv.end(), {"--bind", home_.string(), SANDBOX_HOME, "--tmpfs", "/tmp", "--dev", "/dev", "--proc",
                             "/proc", "--unshare-pid", "--die-with-parent"});
    if (auto python = sandbox_python(options_)) {
      argv.insert(argv.end(), {"--symlink", *python, std::string(SANDBOX_BIN) + "/python"});
    }
    return argv;
  }

  // Called when a command failed the way bubblewrap fails: tells a failing command from a
  // sandbox that cannot start at all, and throws in the second case.
  void check_bubblewrap(const std::string& bwrap) const {
    base::ProcessOptions probe;
    probe.argv = mounts(bwrap);
    for (const char* arg : {"--chdir", SANDBOX_HOME, "--", "/bin/true"}) probe.argv.emplace_back(arg);
    probe.env = std::map<std::string, std::string>{{"PATH", SANDBOX_PATH}};
    probe.timeout = std::chrono::seconds(30);
    base::ProcessResult result = base::run_process(probe);
    if (result.exit_code != 0) {
      throw base::RuntimeError("bubblewrap could not start the sandbox: " +
                               std::string(base::strip(result.stderr_text)));
    }
  }

  const fs::path home_;
  const fs::path root_;
  const int timeout_seconds_;
  const LocalSandboxOptions options_;
};

class LocalSandbox : public Sandbox {
 public:
  LocalSandbox(std::string id, fs::path home, fs::path root, int timeout_seconds, LocalSandboxOptions options)
      : id_(std::move(id)), files_(home), commands_(home, std::move(root), timeout_seconds, std::move(options)) {}
  const std::string& sandbox_id() const override { return id_; }
  SandboxFiles& files() override { return files_; }
  SandboxCommands& commands() override { return commands_; }

 private:
  const std::string id_;
  LocalFiles files_;
  LocalCommands commands_;
};

}  // namespace

fs::path default_sandboxes_root() {
  if (auto root = base::getenv_opt("VELKO_SANDBOX_ROOT"); root && !root->empty()) return *root;
  return fs::path(base::home_dir()) / ".velko" / "sandboxes";
}

bool is_safe_sandbox_id(std::string_view id) {
  if (id.empty() || id.size() > 128 || id[0] == '.') return false;
  for (char c : id) {
    bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
    if (!ok) return false;
  }
  return true;
}

LocalSandboxProvider::LocalSandboxProvider(LocalSandboxOptions options) : options_(std::move(options)) {}

std::shared_ptr<Sandbox> LocalSandboxProvider::connect(const std::string& id, int timeout_seconds) {
  if (!is_safe_sandbox_id(id)) throw base::ValueError("Invalid sandbox id: " + base::quote(id));
  if (timeout_seconds <= 0) throw base::ValueError("Sandbox timeout must be positive");
  fs::path root = fs::absolute(options_.root ? *options_.root : default_sandboxes_root()).lexically_normal();
  if (!fs::is_directory(root)) {
    std::error_code error;
    fs::create_directories(root, error);
    if (error) base::throw_os_error(error.value(), "mkdir", root);
    fs::permissions(root, fs::perms::owner_all, error);
  }
  fs::path home = root / id;
  if (::mkdir(home.c_str(), 0755) != 0 && errno != EEXIST) base::throw_os_error(errno, "mkdir", home);
  struct stat info;
  if (::lstat(home.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) base::throw_os_error(ENOTDIR, "open", home);
  return std::make_shared<LocalSandbox>(id, home, root, timeout_seconds, options_);
}

}  // namespace velko::platform::sandbox
