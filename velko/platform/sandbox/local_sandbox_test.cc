#include "velko/platform/sandbox/local_sandbox.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

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
