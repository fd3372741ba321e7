// The local sandbox: the default provider behind sandbox::connect(), and the isolated
// runner (run_isolated) that local charts use too.
//
// Each sandbox id is a directory under the sandboxes root ($VELKO_SANDBOX_ROOT, else
// ~/.velko/sandboxes), created on first connect, mounted read-write at /home/user. So
// "/home/user/..." names the same file in commands and in file calls, and only what is
// under /home/user lasts from one command to the next.
//
// Every command runs under bubblewrap in new user, pid, IPC, UTS and (where possible)
// cgroup namespaces, as uid/gid SANDBOX_UID with every capability dropped, in a new
// session, ending with this process. Nothing of the host is visible but: /usr, /bin,
// /sbin, /lib* and /etc read-only (entries of /etc that other users may not read, such
// as /etc/shadow, hidden), the interpreter's installation read-only, the product's
// Python support directory read-only, fresh /dev, /proc and /tmp, an empty /home with
// only the command's home at /home/user, and what the run binds on purpose. So the
// invoking user's home, /root, /srv, /work, other sandboxes and the configuration store
// stay out of reach whatever HOME says, and nothing can be remounted. Every process a
// command starts ends with it (the pid namespace goes with its first process). The
// network is shared, unless $VELKO_SANDBOX_NETWORK is "none" (then only a private
// loopback).
//
// A command sees a clean environment (PATH, HOME=/home/user, USER, LANG, plus the
// command's own envs), never this process's variables. `python` inside resolves to the
// sandbox's interpreter (see LocalSandboxOptions::python) without changing command text.
// When the command's envs carry VELKO_CONNECTION_STRING naming a SQLite or DuckDB file,
// that file is bound read-only at its own path.
//
// File calls map "/home/user/x" (or "x") to <root>/<id>/x and follow symbolic links the
// way the sandbox sees them; a path that leaves /home/user, lexically or through a link,
// is refused with PermissionError.
//
// Thread-safe: handles keep only values fixed at connect; every command is its own process.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velko/base/cancel.h"
#include "velko/base/process.h"
#include "velko/platform/sandbox/sandbox.h"

namespace velko::platform::sandbox {

// The sandbox's home directory and PATH, as commands see them.
inline constexpr const char* SANDBOX_HOME = "/home/user";
inline constexpr const char* SANDBOX_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
// Where the `python` link lives inside the sandbox (first on PATH).
inline constexpr const char* SANDBOX_BIN = "/home/.sandbox/bin";
// Where the product's Python support directory is seen inside (on PYTHONPATH).
inline constexpr const char* SANDBOX_PYTHON_SUPPORT = "/home/.sandbox/python";
// The unprivileged user and group id commands run as inside.
inline constexpr int SANDBOX_UID = 1000;
// The variable that takes the network away ("none").
inline constexpr const char* SANDBOX_NETWORK_ENV = "VELKO_SANDBOX_NETWORK";

// One host path made visible inside an isolated run, at the same path.
struct SandboxBind {
  std::filesystem::path path;
  bool writable = false;
};

// One isolated run (see the file comment for what it sees).
struct IsolatedRun {
  // The program and its arguments, as paths inside.
  std::vector<std::string> argv;
  // The working directory inside.
  std::string cwd = SANDBOX_HOME;
  // The whole environment inside; PYTHONPATH is set to SANDBOX_PYTHON_SUPPORT.
  std::map<std::string, std::string> env;
  // Mounted read-write at /home/user; nullopt gives an empty private /home/user.
  std::optional<std::filesystem::path> home;
  // More host paths to show. A path that is, or contains, a private place (the invoking
  // user's home, /root, ~/.velko, the configuration store, the sandboxes root) is not
  // bound; one inside such a place is (the chart directory is).
  std::vector<SandboxBind> binds;
  // An interpreter outside the system directories has its installation bound read-only;
  // `link_python` also makes it `python` on PATH inside.
  std::optional<std::string> python;
  bool link_python = false;
  // A connection URL: when it names a SQLite or DuckDB file by absolute path, that file
  // is bound read-only at that path.
  std::optional<std::string> warehouse_url;
  std::optional<std::chrono::milliseconds> timeout;
  base::CancelSignalPtr cancel;
  // Each output stream keeps its first and last this many bytes (base::run_process).
  size_t keep_output = base::OUTPUT_KEEP_BYTES;
  // The bubblewrap program.
  std::string bwrap = "bwrap";
};

// Runs `run` under bubblewrap and waits. The program's own outcome is the result (a
// time-out or cancellation is marked in it). Throws RuntimeError naming bubblewrap when
// bubblewrap is missing or cannot create the sandbox.
base::ProcessResult run_isolated(const IsolatedRun& run);

// The product's Python support directory on the host ($HOME/.velko/python), written when
// missing or outdated: a sitecustomize that, when SQLAlchemy lacks the
// "postgresql+psycopg" dialect, registers that name to its psycopg2 dialect. Throws
// OSError when it cannot be written.
std::filesystem::path python_support_dir();

// The file a "sqlite:///..." or "duckdb:///..." URL names, when absolute; else nullopt
// (in-memory databases, MotherDuck, other schemes).
std::optional<std::filesystem::path> warehouse_file_of(std::string_view url);

// $VELKO_SANDBOX_ROOT when set and non-empty, else ~/.velko/sandboxes.
std::filesystem::path default_sandboxes_root();

// True for an id usable as one directory name: 1 to 128 characters from ASCII letters,
// digits, "-", "_" and ".", not starting with ".".
bool is_safe_sandbox_id(std::string_view id);

struct LocalSandboxOptions {
  // The sandboxes root; nullopt reads default_sandboxes_root() at each connect.
  std::optional<std::filesystem::path> root;
  // The interpreter that `python` runs inside. nullopt: $VELKO_SANDBOX_PYTHON when set,
  // else `python`, else `python3`, looked up in SANDBOX_PATH.
  std::optional<std::string> python;
  // The bubblewrap program.
  std::string bwrap = "bwrap";
};

class LocalSandboxProvider : public SandboxProvider {
 public:
  explicit LocalSandboxProvider(LocalSandboxOptions options = {});

  // Validates `id` (ValueError "Invalid sandbox id: ..." when unsafe), creates its
  // directory when missing (OSError when it cannot) and returns a handle whose commands
  // may run for at most `timeout_seconds` each (must be positive, ValueError otherwise).
  std::shared_ptr<Sandbox> connect(const std::string& id, int timeout_seconds) override;

 private:
  const LocalSandboxOptions options_;
};

}  // namespace velko::platform::sandbox
