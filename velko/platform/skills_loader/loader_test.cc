#include "velko/platform/skills_loader/loader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "velko/base/env.h"
#include "velko/base/logging.h"

namespace velko::platform::skills_loader {
namespace {
namespace fs = std::filesystem;

void write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out << text;
}

std::string read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

class LoaderTest : public ::testing::Test {
 protected:
  LoaderTest() {
    std::string pattern = (fs::temp_directory_path() / "velko-loader-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
    home_.emplace("HOME", (root_ / "home").string());
    bundled_env_.emplace("VELKO_SKILLS_DIR", (root_ / "bundled").string());
  }
  ~LoaderTest() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  fs::path bundled() const { return root_ / "bundled"; }
  fs::path target() const { return root_ / "home" / ".velko" / "skills" / "default"; }

  fs::path root_;
  std::optional<base::ScopedEnv> home_;
  std::optional<base::ScopedEnv> bundled_env_;
};

TEST_F(LoaderTest, ShippedDirectoryComesFromTheEnvironmentThenTheSourceTree) {
  EXPECT_EQ(BUNDLED_SKILLS_DIR(), bundled());
  bundled_env_.emplace("VELKO_SKILLS_DIR", std::nullopt);
  fs::path source_tree = BUNDLED_SKILLS_DIR();
  EXPECT_EQ(source_tree.filename(), "skills");
  EXPECT_TRUE(fs::exists(source_tree / "sql-review" / "SKILL.md")) << source_tree;
  EXPECT_EQ(DEFAULT_SKILLS_TARGET_DIR(), target());
}

TEST_F(LoaderTest, AnInstalledTreeNextToTheProgramWins) {
  char buffer[4096];
  ssize_t got = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  ASSERT_GT(got, 0);
  fs::path installed = fs::path(std::string(buffer, got)).parent_path().parent_path() / "share" / "velko" / "skills";
  if (fs::exists(installed)) GTEST_SKIP() << "an installed tree already exists at " << installed;
  fs::create_directories(installed);
  fs::path created = installed.parent_path().parent_path();  // <prefix>/share
  EXPECT_EQ(BUNDLED_SKILLS_DIR(), installed);
  fs::remove_all(created);
}

TEST_F(LoaderTest, CopiesShippedSkillsIntoTheUsersDefaultRoot) {
  write(bundled() / "sql-review" / "SKILL.md", "review");
  write(bundled() / "sql-review" / "examples" / "bad.sql", "SELECT *");
  write(bundled() / "_internal" / "SKILL.md", "private");
  write(bundled() / ".git" / "HEAD", "ref");
  write(bundled() / "sql-review" / "__pycache__" / "x.pyc", "cache");
  write(bundled() / "notes.md", "not a skill");
  EXPECT_EQ(copy_default_skills(), 2);
  EXPECT_EQ(read(target() / "sql-review" / "SKILL.md"), "review");
  EXPECT_EQ(read(target() / "sql-review" / "examples" / "bad.sql"), "SELECT *");
  EXPECT_FALSE(fs::exists(target() / "_internal"));
  EXPECT_FALSE(fs::exists(target() / ".git"));
  EXPECT_FALSE(fs::exists(target() / "sql-review" / "__pycache__"));
  EXPECT_FALSE(fs::exists(target() / "notes.md"));
  EXPECT_EQ(fs::status(target() / "sql-review" / "SKILL.md").permissions() & fs::perms::all, fs::perms(0600));
}

TEST_F(LoaderTest, UnchangedFilesAreLeftAloneAndUserFilesKept) {
  write(bundled() / "profiling" / "SKILL.md", "v1");
  ASSERT_EQ(copy_default_skills(), 1);
  struct stat before;
  ASSERT_EQ(::stat((target() / "profiling" / "SKILL.md").c_str(), &before), 0);
  write(target() / "profiling" / "my-notes.md", "mine");

  EXPECT_EQ(copy_default_skills(), 0);
  struct stat after;
  ASSERT_EQ(::stat((target() / "profiling" / "SKILL.md").c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);  // not replaced

  write(bundled() / "profiling" / "SKILL.md", "v2");
  EXPECT_EQ(copy_default_skills(), 1);
  EXPECT_EQ(read(target() / "profiling" / "SKILL.md"), "v2");
  EXPECT_EQ(read(target() / "profiling" / "my-notes.md"), "mine");
}

// A link where the copy would write, at any depth below the skills root, is reported and
// left alone: nothing is written into the directory (or over the file) it names.
TEST_F(LoaderTest, LinksInTheWayAreReportedAndLeftAlone) {
  write(bundled() / "sql-review" / "SKILL.md", "review");
  write(bundled() / "sql-review" / "examples" / "bad.sql", "SELECT *");
  write(bundled() / "profiling" / "SKILL.md", "profile");
  const fs::path outside = root_ / "outside";
  fs::create_directories(outside);
  write(outside / "victim.md", "precious");
  struct Layout {
    std::string name;
    fs::path link;  // made a link to `outside` (or to victim.md)
    bool to_file;
    int written;  // files the copy still writes elsewhere
  };
  const std::vector<Layout> layouts = {
      {"default", target(), false, 0},
      {"a skill", target() / "sql-review", false, 1},
      {"a subdirectory", target() / "sql-review" / "examples", false, 2},
      {"a file", target() / "profiling" / "SKILL.md", true, 2},
  };
  for (const auto& layout : layouts) {
    fs::remove_all(root_ / "home");
    fs::create_directories(layout.link.parent_path());
    if (layout.to_file) {
      fs::create_symlink(outside / "victim.md", layout.link);
    } else {
      fs::create_directory_symlink(outside, layout.link);
    }
    base::ScopedLogCapture capture;
    EXPECT_EQ(copy_default_skills(), layout.written) << layout.name;
    EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), 1) << layout.name;
    EXPECT_EQ(read(outside / "victim.md"), "precious") << layout.name;
    EXPECT_TRUE(fs::is_symlink(layout.link)) << layout.name;
    std::vector<std::string> warnings = capture.sink().messages(LOGGER_NAME, base::LogLevel::kWarning);
    ASSERT_EQ(warnings.size(), 1u) << layout.name;
    EXPECT_NE(warnings[0].find(layout.link.string()), std::string::npos) << warnings[0];
  }
}

TEST_F(LoaderTest, CopiesArePrivateWhateverTheUmask) {
  write(bundled() / "sql-review" / "SKILL.md", "review");
  write(bundled() / "sql-review" / "examples" / "bad.sql", "SELECT *");
  const mode_t previous = ::umask(0);
  const int written = copy_default_skills();
  ::umask(previous);
  ASSERT_EQ(written, 2);
  auto mode = [](const fs::path& path) { return fs::symlink_status(path).permissions() & fs::perms::all; };
  for (const fs::path& dir : {target().parent_path().parent_path(), target().parent_path(), target(),
                              target() / "sql-review", target() / "sql-review" / "examples"}) {
    EXPECT_EQ(mode(dir), fs::perms(0700)) << dir;
  }
  EXPECT_EQ(mode(target() / "sql-review" / "SKILL.md"), fs::perms(0600));
  EXPECT_EQ(mode(target() / "sql-review" / "examples" / "bad.sql"), fs::perms(0600));
}

TEST_F(LoaderTest, MissingShippedDirectoryCopiesNothing) {
  EXPECT_EQ(copy_default_skills(), 0);
  EXPECT_FALSE(fs::exists(target()));
}

}  // namespace
}  // namespace velko::platform::skills_loader
