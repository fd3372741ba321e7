#include "velko/platform/sandbox/local_sandbox.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/files.h"

namespace velko::platform::sandbox {
namespace {

namespace fs = std::filesystem;

fs::path fresh_dir(const fs::path& parent, const std::string& tag) {
  fs::path dir = parent / ("velko-sandbox-" + tag + "-" + std::to_string(::getpid()) + "-" +
                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

class LocalSandboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fresh_dir(fs::temp_directory_path(), "root");
    provider_ = std::make_shared<LocalSandboxProvider>(LocalSandboxOptions{root_, std::nullopt, "bwrap"});
    sandbox_ = provider_->connect("sbx-1", 60);
  }
  void TearDown() override { fs::remove_all(root_); }
  CommandResult run(const std::string& command, const std::optional<std::string>& cwd = std::nullopt,
                    const std::map<std::string, std::string>& envs = {}) {
    return sandbox_->commands().run(command, cwd, envs);
  }

  fs::path root_;
  std::shared_ptr<LocalSandboxProvider> provider_;
  std::shared_ptr<Sandbox> sandbox_;
};

TEST(SandboxIds, OnlySingleSafePathComponentsAreAccepted) {
  for (const char* good : {"sbx-1", "a", "A.b_c-9", "abc.def"}) EXPECT_TRUE(is_safe_sandbox_id(good)) << good;
  for (const char* bad : {"", ".", "..", ".hidden", "a/b", "../x", "a b", "a\\b", "x\ny", "caf\xc3\xa9"}) {
    EXPECT_FALSE(is_safe_sandbox_id(bad)) << bad;
  }
  EXPECT_TRUE(is_safe_sandbox_id(std::string(128, 'a')));
  EXPECT_FALSE(is_safe_sandbox_id(std::string(129, 'a')));

  fs::path root = fresh_dir(fs::temp_directory_path(), "ids");
  LocalSandboxProvider provider(LocalSandboxOptions{root, std::nullopt, "bwrap"});
  EXPECT_THROW(provider.connect("../escape", 60), base::ValueError);
  EXPECT_THROW(provider.connect("ok", 0), base::ValueError);
  EXPECT_FALSE(fs::exists(root.parent_path() / "escape"));
  fs::remove_all(root);
}

TEST(SandboxRoot, EnvironmentVariableElseUnderHome) {
  {
    base::ScopedEnv root("VELKO_SANDBOX_ROOT", "/srv/sandboxes");
    EXPECT_EQ(default_sandboxes_root(), fs::path("/srv/sandboxes"));
  }
  base::ScopedEnv unset("VELKO_SANDBOX_ROOT", std::nullopt);
  base::ScopedEnv home("HOME", "/home/someone");
  EXPECT_EQ(default_sandboxes_root(), fs::path("/home/someone/.velko/sandboxes"));
}

TEST_F(LocalSandboxTest, FilesMapHomeUserToTheSandboxDirectory) {
  std::string bytes("PNG\0\x89\xff", 6);
  sandbox_->files().write("/home/user/.velko/charts/c1/a.png", bytes);
  EXPECT_EQ(base::read_file(root_ / "sbx-1" / ".velko/charts/c1/a.png"), bytes);
  EXPECT_EQ(sandbox_->files().read("/home/user/.velko/charts/c1/a.png", "bytes"), bytes);
  EXPECT_EQ(sandbox_->files().read(".velko/charts/c1/a.png", "text"), bytes);  // relative to /home/user

  sandbox_->files().write("notes.txt", "first");
  sandbox_->files().write("/home/user/./notes.txt", "second");  // replaces
  EXPECT_EQ(sandbox_->files().read("/home/user/notes.txt"), "second");

  EXPECT_THROW(sandbox_->files().read("/home/user/missing.txt"), base::FileNotFoundError);
  EXPECT_THROW(sandbox_->files().read("/home/user/notes.txt", "base64"), base::ValueError);
  EXPECT_THROW(sandbox_->files().write("/home/user", "x"), base::OSError);
}

TEST_F(LocalSandboxTest, PathsThatLeaveTheHomeAreRefused) {
  fs::path home = root_ / "sbx-1";
  fs::create_directories(home / "sub");
  fs::create_symlink("/etc", home / "etc-link");
  fs::create_symlink("../..", home / "sub" / "up-two");
  fs::create_symlink("/home/user/sub", home / "abs-inside");
  fs::create_symlink("sub", home / "rel-inside");
  base::write_file_atomic(home / "sub" / "data.txt", "inside");

  for (const char* path : {"/etc/passwd", "/home/user/../x", "../x", "/home/other/x", "/home/user/etc-link/passwd",
                           "/home/user/sub/up-two/escaped.txt"}) {
    EXPECT_THROW(sandbox_->files().write(path, "x"), base::PermissionError) << path;
    EXPECT_THROW(sandbox_->files().read(path), base::PermissionError) << path;
  }
  EXPECT_FALSE(fs::exists(root_ / "escaped.txt"));
  EXPECT_FALSE(fs::exists(root_ / "x"));

  // Links that stay inside resolve as the sandbox sees them, including absolute ones.
  EXPECT_EQ(sandbox_->files().read("/home/user/abs-inside/data.txt"), "inside");
  sandbox_->files().write("/home/user/rel-inside/new/deep.txt", "made");
  EXPECT_EQ(base::read_file(home / "sub" / "new" / "deep.txt"), "made");
  EXPECT_EQ(sandbox_->files().read("sub/../sub/data.txt"), "inside");
}

TEST_F(LocalSandboxTest, CommandsSeeTheSameHomeAndAOwnEnvironment) {
  sandbox_->files().write("/home/user/in.txt", "from files");
  CommandResult result = run("cat in.txt; echo made > out.txt; pwd; echo \"$HOME|$VELKO_LEAK|$EXTRA\"", std::nullopt,
                             {{"EXTRA", "per command"}});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.stdout_text, "from files/home/user\n/home/user||per command\n");
  EXPECT_EQ(sandbox_->files().read("/home/user/out.txt"), "made\n");

  base::ScopedEnv leak("VELKO_LEAK", "agent secret");
  EXPECT_EQ(run("printf '%s' \"$VELKO_LEAK\"").stdout_text, "");

  sandbox_->files().write("/home/user/work/keep", "");
  EXPECT_EQ(run("pwd", "/home/user/work").stdout_text, "/home/user/work\n");
  EXPECT_EQ(run("pwd", "work").stdout_text, "/home/user/work\n");

  // Exit codes pass through; stderr is kept apart.
  CommandResult failed = run("echo oops >&2; exit 3");
  EXPECT_EQ(failed.exit_code, 3);
  EXPECT_EQ(failed.stderr_text, "oops\n");
  EXPECT_EQ(run("no-such-command-velko").exit_code, 127);
}

TEST_F(LocalSandboxTest, TheHostIsReadOnlyAndPrivatePlacesAreHidden) {
  fs::path outside = fresh_dir("/var/tmp", "outside");
  fs::path other_root = fresh_dir("/var/tmp", "root");
  LocalSandboxProvider provider(LocalSandboxOptions{other_root, std::nullopt, "bwrap"});
  auto first = provider.connect("first", 60);
  auto second = provider.connect("second", 60);
  first->files().write("secret.txt", "first's");

  std::string probe = "touch " + (outside / "x").string() + " 2>/dev/null && echo wrote-host; " + "ls " +
                      (other_root / "first").string() + " 2>/dev/null; echo tmp > /tmp/t && cat /tmp/t";
  CommandResult result = second->commands().run(probe, std::nullopt, {});
  EXPECT_EQ(result.stdout_text, "tmp\n");
  EXPECT_FALSE(fs::exists(outside / "x"));

  // /tmp is fresh for every command; only /home/user lasts.
  EXPECT_EQ(second->commands().run("cat /tmp/t 2>/dev/null || echo gone", std::nullopt, {}).stdout_text, "gone\n");
  fs::remove_all(outside);
  fs::remove_all(other_root);
}

TEST_F(LocalSandboxTest, PythonResolvesInsideWithoutChangingTheCommand) {
  base::ScopedEnv chosen("VELKO_SANDBOX_PYTHON", std::nullopt);
  CommandResult result = run("python -c 'import sys; print(sys.version_info[0])'");
  EXPECT_EQ(result.exit_code, 0) << result.stderr_text;
  EXPECT_EQ(result.stdout_text, "3\n");
}

TEST_F(LocalSandboxTest, HoldsAsRootNoRemountNoPrivatePlacesNoSurvivors) {
  // Canaries in the real home and the product's store, with HOME pointing elsewhere (the
  // hiding must not depend on HOME), in /root and /etc/shadow-like files.
  fs::path fake_home = fresh_dir(fs::temp_directory_path(), "other-home");
  base::ScopedEnv home("HOME", fake_home.string());
  fs::path canary_dir = fresh_dir("/var/tmp", "canary");
  base::write_file_atomic(canary_dir / "canary.txt", "CANARY-VAR", 0644);
  const std::string script =
      "id -u; grep CapEff /proc/self/status; "
      "umount /tmp 2>/dev/null && echo UMOUNTED; mount -o remount,rw / 2>/dev/null && echo REMOUNTED; "
      "mount -t tmpfs none /mnt 2>/dev/null && echo MOUNTED; "
      "for f in /etc/shadow /root /work /srv " +
      canary_dir.string() + "/canary.txt " + (fake_home / ".velko").string() + " " + root_.string() +
      "; do if [ -e \"$f\" ] && cat \"$f\" 2>/dev/null | head -c 40 | grep -q .; then echo \"READ $f\"; fi; "
      "ls \"$f\" >/dev/null 2>&1 && echo \"SEEN $f\"; done; "
      "touch /usr/velko-probe 2>/dev/null && echo WROTE-USR; "
      "setsid sh -c 'sleep 317' & echo $! > /home/user/survivor.pid; "
      "cat /proc/sys/kernel/hostname";
  CommandResult result = run(script);
  std::string out = result.stdout_text;
  EXPECT_EQ(out.substr(0, 5), "1000\n") << out;
  EXPECT_NE(out.find("CapEff:\t0000000000000000"), std::string::npos) << out;
  for (const char* leak : {"UMOUNTED", "REMOUNTED", "MOUNTED", "READ ", "WROTE-USR"}) {
    EXPECT_EQ(out.find(leak), std::string::npos) << leak << " in " << out;
  }
  // /etc/shadow exists (covered over) but the others are not even there.
  EXPECT_EQ(out.find("SEEN /root"), std::string::npos) << out;
  EXPECT_EQ(out.find("SEEN /work"), std::string::npos) << out;
  EXPECT_EQ(out.find("SEEN " + canary_dir.string()), std::string::npos) << out;
  EXPECT_EQ(out.find("SEEN " + root_.string()), std::string::npos) << out;
  EXPECT_FALSE(fs::exists("/usr/velko-probe"));
  // The setsid'd sleep went with the sandbox's pid namespace.
  EXPECT_EQ(std::system("pgrep -f '^sleep 317$' >/dev/null"), 256);
  fs::remove_all(canary_dir);
  fs::remove_all(fake_home);
}

TEST_F(LocalSandboxTest, NetworkIsSharedUnlessSetToNone) {
  auto interfaces = [this] { return run("tail -n +3 /proc/net/dev | cut -d: -f1 | tr -d ' ' | sort").stdout_text; };
  {
    base::ScopedEnv none("VELKO_SANDBOX_NETWORK", "none");
    EXPECT_EQ(interfaces(), "lo\n");
  }
  base::ScopedEnv shared("VELKO_SANDBOX_NETWORK", std::nullopt);
  std::ifstream host("/proc/net/dev");
  std::string line;
  int host_interfaces = -2;
  while (std::getline(host, line)) ++host_interfaces;
  std::string inside = interfaces();
  EXPECT_EQ(static_cast<int>(std::count(inside.begin(), inside.end(), '\n')), host_interfaces) << inside;
}

TEST_F(LocalSandboxTest, CancellationEndsTheCommand) {
  auto signal = std::make_shared<base::CancelSignal>();
  std::thread canceller([signal] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    signal->cancel();
  });
  auto started = std::chrono::steady_clock::now();
  EXPECT_THROW(sandbox_->commands().run_cancellable("sleep 30", std::nullopt, {}, signal), base::CancelledError);
  canceller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

TEST(WarehouseFiles, OnlyAbsoluteSqliteAndDuckdbFilesAreNamed) {
  EXPECT_EQ(warehouse_file_of("sqlite:////tmp/w.db"), fs::path("/tmp/w.db"));
  EXPECT_EQ(warehouse_file_of("sqlite+pysqlite:////tmp/a%20b.db?mode=ro"), fs::path("/tmp/a b.db"));
  EXPECT_EQ(warehouse_file_of("duckdb:////data/w.duckdb"), fs::path("/data/w.duckdb"));
  for (const char* none : {"sqlite://", "sqlite:///relative.db", "duckdb:///md:db?motherduck_token=x",
                           "duckdb:///:memory:", "postgresql+psycopg://u:p@h/d", "sqlitex:////tmp/w.db"}) {
    EXPECT_EQ(warehouse_file_of(none), std::nullopt) << none;
  }
}

TEST_F(LocalSandboxTest, CommandLongerThanTheLimitIsATimeoutError) {
  auto short_lived = provider_->connect("sbx-1", 1);
  EXPECT_THROW(short_lived->commands().run("sleep 20", std::nullopt, {}), base::TimeoutError);
}

TEST_F(LocalSandboxTest, MissingOrBrokenBubblewrapIsNamed) {
  LocalSandboxProvider missing(LocalSandboxOptions{root_, std::nullopt, "bwrap-velko-missing"});
  try {
    missing.connect("sbx-1", 60)->commands().run("true", std::nullopt, {});
    FAIL() << "expected RuntimeError";
  } catch (const base::RuntimeError& error) {
    EXPECT_NE(std::string(error.what()).find("bubblewrap"), std::string::npos) << error.what();
  }
  // Files still work without bubblewrap.
  missing.connect("sbx-1", 60)->files().write("still.txt", "ok");
  EXPECT_EQ(sandbox_->files().read("still.txt"), "ok");

  // A bubblewrap that cannot create namespaces fails every command the same way.
  fs::path fake = root_ / "fake-bwrap";
  base::write_file_atomic(
      fake, "#!/bin/sh\necho 'bwrap: Creating new namespace failed: Operation not permitted' >&2\nexit 1\n", 0755);
  LocalSandboxProvider broken(LocalSandboxOptions{root_, std::nullopt, fake.string()});
  try {
    broken.connect("sbx-1", 60)->commands().run("true", std::nullopt, {});
    FAIL() << "expected RuntimeError";
  } catch (const base::RuntimeError& error) {
    EXPECT_EQ(std::string(error.what()),
              "bubblewrap could not start the sandbox: bwrap: Creating new namespace failed: Operation not permitted");
  }
  // A command that itself prints "bwrap: " and exits 1 stays a command result.
  CommandResult imitation = run("echo 'bwrap: not really' >&2; exit 1");
  EXPECT_EQ(imitation.exit_code, 1);
  EXPECT_EQ(imitation.stderr_text, "bwrap: not really\n");
}

}  // namespace
}  // namespace velko::platform::sandbox
