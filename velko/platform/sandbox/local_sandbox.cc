#include "velko/platform/sandbox/local_sandbox.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <mutex>

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

bool is_under(const fs::path& path, const fs::path& dir) {
  auto [dir_end, path_it] = std::mismatch(dir.begin(), dir.end(), path.begin(), path.end());
  return dir_end == dir.end();
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

  std::optional<fs::path> local_directory(const std::string& path) override {
    try {
      Located at = locate(home_, home_relative(path), false, path);
      Fd dir(at.name.empty() ? ::dup(at.dir.get())
                             : ::openat(at.dir.get(), at.name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (dir.get() < 0) return std::nullopt;
      std::error_code link_ec, home_ec;
      fs::path real = fs::read_symlink("/proc/self/fd/" + std::to_string(dir.get()), link_ec);
      fs::path home = fs::canonical(home_, home_ec);
      if (link_ec || home_ec || !is_under(real, home)) return std::nullopt;
      return real;
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }

 private:
  const fs::path home_;
};

// The interpreter that `python` runs in the sandbox, or nullopt when there is none.
std::optional<std::string> sandbox_python(const LocalSandboxOptions& options) {
  if (options.python) return options.python;
  if (auto chosen = base::getenv_opt("VELKO_SANDBOX_PYTHON"); chosen && !chosen->empty()) return chosen;
  if (auto found = base::find_program("python", SANDBOX_PATH)) return found;
  return base::find_program("python3", SANDBOX_PATH);
}

// Shown whole, read-only: the system. Each is a directory or a link (as on merged-/usr).
constexpr const char* SYSTEM_DIRS[] = {"/usr", "/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32", "/etc"};

bool is_system_path(const fs::path& path) {
  for (const char* dir : SYSTEM_DIRS) {
    if (is_under(path, dir)) return true;
  }
  return false;
}

// Places never bound whole (a bind of one of them, or of a directory holding one, is
// dropped): the invoking user's home, /root, the product's home and the sandboxes root.
std::vector<fs::path> private_places(const std::optional<fs::path>& sandboxes_root) {
  std::vector<fs::path> places = {"/root"};
  try {
    fs::path home = fs::path(base::home_dir()).lexically_normal();
    places.push_back(home);
    places.push_back(home / ".velko");
  } catch (const base::Error&) {
    // No home directory.
  }
  if (auto root = base::getenv_opt("VELKO_SANDBOX_ROOT"); root && !root->empty()) places.emplace_back(*root);
  if (sandboxes_root) places.push_back(*sandboxes_root);
  return places;
}

// True when binding `path` would show a private place whole (it is one, or holds one).
bool shows_private_place(const fs::path& path, const std::vector<fs::path>& places) {
  if (path.empty() || path == "/") return true;
  return std::any_of(places.begin(), places.end(), [&path](const fs::path& place) { return is_under(place, path); });
}

// Entries of /etc that other users may not read (/etc/shadow, ssh host keys, ...): the
// sandbox's uid is mapped to the invoking one, so they are covered over. Found once.
const std::vector<std::pair<std::string, bool>>& hidden_etc_entries() {
  static const std::vector<std::pair<std::string, bool>> entries = [] {
    std::vector<std::pair<std::string, bool>> found;  // path, is a directory
    std::error_code error;
    fs::recursive_directory_iterator it("/etc", fs::directory_options::skip_permission_denied, error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
      struct stat info;
      if (::lstat(it->path().c_str(), &info) != 0 || S_ISLNK(info.st_mode)) continue;
      bool directory = S_ISDIR(info.st_mode);
      bool readable = directory ? (info.st_mode & S_IROTH) && (info.st_mode & S_IXOTH) : (info.st_mode & S_IROTH);
      if (readable) continue;
      found.emplace_back(it->path().string(), directory);
      if (directory) it.disable_recursion_pending();
    }
    return found;
  }();
  return entries;
}

// The directories an interpreter outside the system directories needs: its prefixes, its
// module path and its own directory (asked of it once, in isolated mode, and kept).
std::vector<fs::path> interpreter_dirs(const std::string& python) {
  // Process-wide, for the process's life: an interpreter's directories do not change
  // while it runs. Guarded by mu.
  static std::mutex mu;
  static std::map<std::string, std::vector<fs::path>> known;
  std::lock_guard<std::mutex> lock(mu);
  if (auto found = known.find(python); found != known.end()) return found->second;
  std::vector<fs::path> dirs;
  std::error_code error;
  fs::path real = fs::canonical(python, error);
  if (!error && !is_system_path(real)) dirs.push_back(real.parent_path());
  base::ProcessOptions ask;
  ask.argv = {python, "-I", "-c",
              "import sys\nfor p in [sys.prefix, sys.exec_prefix, sys.base_prefix, *sys.path]: print(p)\n"};
  ask.timeout = std::chrono::seconds(60);
  ask.keep_output = base::OUTPUT_KEEP_BYTES;
  try {
    base::ProcessResult result = base::run_process(ask);
    if (result.exit_code == 0) {
      for (std::string_view line : base::split(result.stdout_text, '\n')) {
        fs::path dir = fs::path(std::string(base::strip(line))).lexically_normal();
        if (dir.is_absolute() && fs::is_directory(dir, error) && !is_system_path(dir)) dirs.push_back(dir);
      }
    }
  } catch (const std::exception&) {
    // An interpreter that cannot run here cannot run inside either.
  }
  known.emplace(python, dirs);
  return dirs;
}

std::string bubblewrap_path(const std::string& bwrap) {
  auto found = base::find_program(bwrap, base::getenv_opt("PATH").value_or(SANDBOX_PATH));
  if (!found) {
    throw base::RuntimeError("bubblewrap ('" + bwrap +
                             "') was not found; the sandbox needs it to run commands (Debian package: bubblewrap)");
  }
  return *found;
}

// bubblewrap's arguments up to the program (see the file comment).
std::vector<std::string> isolation_argv(const IsolatedRun& run, const std::string& bwrap) {
  std::vector<std::string> argv = {bwrap,           "--unshare-user",
                                   "--uid",         std::to_string(SANDBOX_UID),
                                   "--gid",         std::to_string(SANDBOX_UID),
                                   "--cap-drop",    "ALL",
                                   "--unshare-pid", "--unshare-ipc",
                                   "--unshare-uts", "--unshare-cgroup-try",
                                   "--new-session", "--die-with-parent",
                                   "--hostname",    "sandbox"};
  if (base::getenv_opt(SANDBOX_NETWORK_ENV).value_or("") == "none") argv.emplace_back("--unshare-net");
  for (const char* dir : SYSTEM_DIRS) {
    struct stat info;
    if (::lstat(dir, &info) != 0) continue;
    if (S_ISLNK(info.st_mode)) {
      char target[4096];
      ssize_t length = ::readlink(dir, target, sizeof target - 1);
      if (length > 0) argv.insert(argv.end(), {"--symlink", std::string(target, static_cast<size_t>(length)), dir});
    } else if (S_ISDIR(info.st_mode)) {
      argv.insert(argv.end(), {"--ro-bind", dir, dir});
    }
  }
  for (const auto& [path, directory] : hidden_etc_entries()) {
    if (directory) {
      argv.insert(argv.end(), {"--tmpfs", path, "--remount-ro", path});
    } else {
      argv.insert(argv.end(), {"--ro-bind", "/dev/null", path});
    }
  }
  argv.insert(argv.end(), {"--dev", "/dev", "--proc", "/proc", "--tmpfs", "/tmp", "--tmpfs", "/home"});
  if (run.home) {
    argv.insert(argv.end(), {"--bind", run.home->string(), SANDBOX_HOME});
  } else {
    argv.insert(argv.end(), {"--dir", SANDBOX_HOME});
  }
  argv.insert(argv.end(), {"--ro-bind", python_support_dir().string(), SANDBOX_PYTHON_SUPPORT});

  const std::vector<fs::path> places = private_places(std::nullopt);
  auto bind = [&](const fs::path& path, bool writable) {
    fs::path normal = path.lexically_normal();
    if (!normal.is_absolute() || shows_private_place(normal, places) || is_under(normal, "/proc") ||
        is_under(normal, "/dev")) {
      return;
    }
    std::error_code error;
    if (!fs::exists(normal, error)) return;
    argv.insert(argv.end(), {writable ? "--bind" : "--ro-bind", normal.string(), normal.string()});
  };
  if (run.python) {
    for (const fs::path& dir : interpreter_dirs(*run.python)) bind(dir, false);
    if (run.link_python) argv.insert(argv.end(), {"--symlink", *run.python, std::string(SANDBOX_BIN) + "/python"});
  }
  for (const SandboxBind& extra : run.binds) bind(extra.path, extra.writable);
  if (run.warehouse_url) {
    if (auto file = warehouse_file_of(*run.warehouse_url)) {
      std::error_code error;
      if (fs::is_regular_file(*file, error)) argv.insert(argv.end(), {"--ro-bind", file->string(), file->string()});
    }
  }
  argv.insert(argv.end(), {"--chdir", run.cwd, "--"});
  return argv;
}

// Called when a run failed the way bubblewrap fails: tells a failing program from a
// sandbox that cannot start at all, and throws in the second case.
void check_bubblewrap(const IsolatedRun& run, const std::string& bwrap) {
  IsolatedRun probe_run = run;
  probe_run.binds.clear();
  probe_run.cwd = "/";
  base::ProcessOptions probe;
  probe.argv = isolation_argv(probe_run, bwrap);
  probe.argv.emplace_back("/bin/true");
  probe.env = std::map<std::string, std::string>{{"PATH", SANDBOX_PATH}};
  probe.timeout = std::chrono::seconds(30);
  probe.keep_output = base::OUTPUT_KEEP_BYTES;
  base::ProcessResult result = base::run_process(probe);
  if (result.exit_code != 0) {
    throw base::RuntimeError("bubblewrap could not start the sandbox: " + std::string(base::strip(result.stderr_text)));
  }
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
    return run_cancellable(command, cwd, envs, nullptr);
  }

  CommandResult run_cancellable(const std::string& command, const std::optional<std::string>& cwd,
                                const std::map<std::string, std::string>& envs,
                                const base::CancelSignalPtr& cancel) override {
    IsolatedRun isolated;
    isolated.cwd = SANDBOX_HOME;
    if (cwd && !cwd->empty()) isolated.cwd = (*cwd)[0] == '/' ? *cwd : std::string(SANDBOX_HOME) + "/" + *cwd;
    isolated.argv = {"/bin/sh", "-c", command};
    isolated.env = {{"PATH", std::string(SANDBOX_BIN) + ":" + SANDBOX_PATH},
                    {"HOME", SANDBOX_HOME},
                    {"USER", "user"},
                    {"LANG", "C.UTF-8"}};
    for (const auto& [name, value] : envs) isolated.env[name] = value;
    isolated.home = home_;
    isolated.python = sandbox_python(options_);
    isolated.link_python = true;
    if (auto url = envs.find("VELKO_CONNECTION_STRING"); url != envs.end()) isolated.warehouse_url = url->second;
    isolated.timeout = std::chrono::seconds(timeout_seconds_);
    isolated.cancel = cancel;
    isolated.bwrap = options_.bwrap;
    base::ProcessResult result = run_isolated(isolated);
    if (result.cancelled) throw base::CancelledError();
    if (result.timed_out) {
      throw base::TimeoutError("Sandbox command timed out after " + std::to_string(timeout_seconds_) + " seconds");
    }
    return CommandResult{std::move(result.stdout_text), std::move(result.stderr_text), result.exit_code};
  }

 private:
  const fs::path home_;
  const fs::path root_;
  const int timeout_seconds_;
  const LocalSandboxOptions options_;
};

// The sitecustomize of the product's Python support directory.
constexpr const char* SITECUSTOMIZE =
    R"PY(# Written by velko: lets chart scripts use the "postgresql+psycopg" dialect name with
# SQLAlchemy releases that lack it, through the installed psycopg2 driver.
import os as _os

def _velko_register_psycopg_name():
    url = _os.environ.get("VELKO_CONNECTION_STRING", "")
    if not url.startswith("postgresql+psycopg:"):
        return
    try:
        import importlib.util
        if importlib.util.find_spec("psycopg") is not None:
            return
        from sqlalchemy.dialects import registry
        try:
            registry.load("postgresql.psycopg")
            return
        except Exception:
            pass
        registry.register("postgresql.psycopg", "sqlalchemy.dialects.postgresql.psycopg2", "PGDialect_psycopg2")
    except Exception:
        pass

_velko_register_psycopg_name()
del _velko_register_psycopg_name
)PY";

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

base::ProcessResult run_isolated(const IsolatedRun& run) {
  std::string bwrap = bubblewrap_path(run.bwrap);
  base::ProcessOptions process;
  process.argv = isolation_argv(run, bwrap);
  process.argv.insert(process.argv.end(), run.argv.begin(), run.argv.end());
  process.env = run.env;
  (*process.env)["PYTHONPATH"] = SANDBOX_PYTHON_SUPPORT;
  process.timeout = run.timeout;
  process.cancel = run.cancel;
  process.keep_output = run.keep_output;
  base::ProcessResult result = base::run_process(process);
  if (!result.timed_out && !result.cancelled && result.exit_code == 1 &&
      base::starts_with(result.stderr_text, "bwrap: ")) {
    check_bubblewrap(run, bwrap);
  }
  return result;
}

fs::path python_support_dir() {
  fs::path dir = fs::path(base::home_dir()) / ".velko" / "python";
  fs::path file = dir / "sitecustomize.py";
  std::error_code error;
  if (fs::is_regular_file(file, error)) {
    try {
      if (base::read_file(file) == SITECUSTOMIZE) return dir;
    } catch (const base::Error&) {
      // Rewritten below.
    }
  }
  fs::create_directories(dir, error);
  if (error) base::throw_os_error(error.value(), "mkdir", dir);
  base::write_file_atomic(file, SITECUSTOMIZE, 0644);
  return dir;
}

std::optional<fs::path> warehouse_file_of(std::string_view url) {
  std::string_view rest;
  for (std::string_view scheme : {"sqlite", "duckdb"}) {
    if (!url.starts_with(scheme) || !rest.empty()) continue;
    size_t marker = url.find(":///");
    if (marker == std::string_view::npos) return std::nullopt;
    std::string_view name = url.substr(0, marker);
    if (name != scheme && !name.starts_with(std::string(scheme) + "+")) return std::nullopt;
    rest = url.substr(marker + 4);
  }
  if (rest.empty()) return std::nullopt;
  rest = rest.substr(0, rest.find('?'));
  if (rest.empty() || rest[0] != '/' || rest.starts_with("/md:") || rest == "/:memory:") return std::nullopt;
  return fs::path(base::percent_decode(rest)).lexically_normal();
}

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
