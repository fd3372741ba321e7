#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/files.h"
#include "velko/base/logging.h"
#include "velko/base/printable.h"
#include "velko/base/strings.h"
#include "velko/base/utf8.h"

namespace velko::base {
namespace {

TEST(Strings, StripSplitReplace) {
  EXPECT_EQ(strip("  \t a b \n"), "a b");
  EXPECT_EQ(strip("   "), "");
  auto pieces = split("a,,b,", ',');
  ASSERT_EQ(pieces.size(), 4u);
  EXPECT_EQ(pieces[1], "");
  EXPECT_EQ(pieces[3], "");
  EXPECT_EQ(replace_all("a/b/c", "/", "-"), "a-b-c");
  EXPECT_EQ(replace_all("aaa", "aa", "b"), "ba");
  // Seconds in messages: whole numbers plain, fractions to at most three decimals.
  EXPECT_EQ(seconds_text(30), "30");
  EXPECT_EQ(seconds_text(2.5), "2.5");
  EXPECT_EQ(seconds_text(0.125), "0.125");
  EXPECT_EQ(seconds_text(1.0004), "1");
  EXPECT_EQ(seconds_text(0.001), "0.001");
}

TEST(Strings, Base64OfEveryPaddingLengthAndAllByteValues) {
  // RFC 4648 section 10 test vectors.
  EXPECT_EQ(base64_encode(""), "");
  EXPECT_EQ(base64_encode("f"), "Zg==");
  EXPECT_EQ(base64_encode("fo"), "Zm8=");
  EXPECT_EQ(base64_encode("foo"), "Zm9v");
  EXPECT_EQ(base64_encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(base64_encode(std::string_view("\x89PNG\r\n\x1a\n\0\xff", 10)), "iVBORw0KGgoA/w==");
}

TEST(Utf8, CountsAndCutsOnCodePointBoundaries) {
  std::string text = "h\xC3\xA9llo \xF0\x9F\x98\x80!";  // héllo 😀!
  EXPECT_EQ(count_code_points(text), 8u);
  EXPECT_EQ(prefix_code_points(text, 2), "h\xC3\xA9");
  EXPECT_EQ(prefix_code_points(text, 7), "h\xC3\xA9llo \xF0\x9F\x98\x80");
  EXPECT_EQ(prefix_code_points(text, 100), text);
  EXPECT_TRUE(is_valid_utf8(text));
  EXPECT_FALSE(is_valid_utf8("a\xFF"));
  EXPECT_TRUE(is_valid_utf8("\xEF\xBF\xBD"));  // a real U+FFFD is valid
  EXPECT_EQ(to_valid_utf8("a\xFF"), "a\xEF\xBF\xBD");
}

TEST(Env, ScopedEnvSetsAndRestores) {
  unsetenv("VELKO_TEST_VARIABLE");
  {
    ScopedEnv set("VELKO_TEST_VARIABLE", "");
    ASSERT_TRUE(getenv_opt("VELKO_TEST_VARIABLE").has_value());
    EXPECT_EQ(*getenv_opt("VELKO_TEST_VARIABLE"), "");
    EXPECT_EQ(environment().count("VELKO_TEST_VARIABLE"), 1u);
  }
  EXPECT_FALSE(getenv_opt("VELKO_TEST_VARIABLE").has_value());
  ScopedEnv home("HOME", "/tmp/velko-home");
  EXPECT_EQ(home_dir(), "/tmp/velko-home");
}

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("velko-files-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

TEST_F(FilesTest, AtomicWriteCreatesParentsReplacesAndSetsMode) {
  auto path = dir_ / "nested" / "config.json";
  write_file_atomic(path, "first", 0600);
  write_file_atomic(path, std::string("second\0bytes", 12), 0600);
  EXPECT_EQ(read_file(path), std::string("second\0bytes", 12));
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  // No temporary file is left beside it.
  size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(path.parent_path())) ++entries;
  EXPECT_EQ(entries, 1u);
}

unsigned mode_of(const std::filesystem::path& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

// Sets the process's umask while in scope.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(previous_); }

 private:
  const mode_t previous_;
};

TEST_F(FilesTest, PrivateDirectoriesAndFilesWhateverTheUmask) {
  for (mode_t mask : {mode_t{0}, mode_t{022}, mode_t{0777}}) {
    std::filesystem::remove_all(dir_);
    {
      ScopedUmask umask(mask);
      write_file_atomic(dir_ / "a" / "b" / "config.json", "{}", 0600);
      create_private_directories(dir_ / "c" / "d");
    }
    EXPECT_EQ(mode_of(dir_), 0700u) << "umask " << mask;
    EXPECT_EQ(mode_of(dir_ / "a"), 0700u) << "umask " << mask;
    EXPECT_EQ(mode_of(dir_ / "a" / "b"), 0700u) << "umask " << mask;
    EXPECT_EQ(mode_of(dir_ / "a" / "b" / "config.json"), 0600u) << "umask " << mask;
    EXPECT_EQ(mode_of(dir_ / "c" / "d"), 0700u) << "umask " << mask;
  }
  // Existing directories keep their mode; a file in the way is an error.
  ::chmod((dir_ / "a").c_str(), 0755);
  create_private_directories(dir_ / "a" / "b");
  EXPECT_EQ(mode_of(dir_ / "a"), 0755u);
  EXPECT_THROW(create_private_directories(dir_ / "a" / "b" / "config.json" / "x"), OSError);
}

TEST_F(FilesTest, AtFunctionsNeverFollowALink) {
  std::filesystem::path outside = dir_ / "outside";
  std::filesystem::path root = dir_ / "root";
  create_private_directories(outside);
  create_private_directories(root);
  std::filesystem::create_directory_symlink(outside, root / "linked_dir");
  std::filesystem::create_symlink(outside / "victim.txt", root / "linked_file");
  write_file_atomic(outside / "victim.txt", "precious", 0600);
  FileDescriptor root_fd = open_directory(root);

  // A link where a directory is wanted: nothing is created through it.
  EXPECT_FALSE(open_private_subdirectory(root_fd.get(), "linked_dir", root / "linked_dir").valid());
  EXPECT_FALSE(open_private_subdirectory(root_fd.get(), "linked_file", root / "linked_file").valid());
  FileDescriptor made = open_private_subdirectory(root_fd.get(), "made", root / "made");
  ASSERT_TRUE(made.valid());
  EXPECT_EQ(mode_of(root / "made"), 0700u);

  // Reading refuses the link; writing replaces the link itself, not the file it names.
  EXPECT_THROW(read_file_at(root_fd.get(), "linked_file", root / "linked_file"), OSError);
  write_file_atomic_at(root_fd.get(), "linked_file", "new", 0600, root / "linked_file");
  EXPECT_EQ(read_file(outside / "victim.txt"), "precious");
  EXPECT_FALSE(std::filesystem::is_symlink(root / "linked_file"));
  EXPECT_EQ(read_file_at(root_fd.get(), "linked_file", root / "linked_file"), "new");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(outside), std::filesystem::directory_iterator()), 1);
}

// What a prompt or a terminal gets: no control character, and on request one line.
TEST(Printable, ControlCharactersAreReplacedAndLinesJoined) {
  const std::string fffd = "\xEF\xBF\xBD";
  struct Case {
    std::string text;
    std::string kept;
    std::string joined;
  };
  const std::vector<Case> cases = {
      {"plain\ttext", "plain\ttext", "plain\ttext"},
      {"caf\xC3\xA9 \xE2\x9C\x93", "caf\xC3\xA9 \xE2\x9C\x93", "caf\xC3\xA9 \xE2\x9C\x93"},
      {"red \x1b[31mX\x1b]0;title\x07", "red " + fffd + "[31mX" + fffd + "]0;title" + fffd,
       "red " + fffd + "[31mX" + fffd + "]0;title" + fffd},
      {"a\nb\r\nc", "a\nb" + fffd + "\nc", "a b" + fffd + " c"},
      {std::string("nul\0del\x7f", 8), "nul" + fffd + "del" + fffd, "nul" + fffd + "del" + fffd},
      {"c1 \xC2\x85\xC2\x9B\xC2\x9F \xC2\xA0", "c1 " + fffd + fffd + fffd + " \xC2\xA0",
       "c1 " + fffd + fffd + fffd + " \xC2\xA0"},
      {"ls\xE2\x80\xA8ps\xE2\x80\xA9", "ls\xE2\x80\xA8ps\xE2\x80\xA9", "ls ps "},
      {"bad \xFF\xC3", "bad " + fffd + fffd, "bad " + fffd + fffd},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(printable_text(c.text), c.kept) << c.text;
    EXPECT_EQ(printable_text(c.text, LineBreaks::kJoin), c.joined) << c.text;
  }
}

TEST_F(FilesTest, ReadErrorsAreTypedAndNamePath) {
  try {
    read_file(dir_ / "missing.txt");
    FAIL() << "expected FileNotFoundError";
  } catch (const FileNotFoundError& error) {
    EXPECT_NE(std::string(error.what()).find("missing.txt"), std::string::npos);
  }
}

TEST(Logging, CaptureSeesRecordsOfEveryThreadAndRestores) {
  {
    ScopedLogCapture capture;
    Logger& logger = get_logger("velko.test.logging");
    EXPECT_EQ(&logger, &get_logger("velko.test.logging"));
    std::thread worker([] { get_logger("velko.test.logging").warning("from worker"); });
    worker.join();
    logger.error("boom");
    logger.debug("detail");
    EXPECT_EQ(capture.sink().messages("velko.test.logging", LogLevel::kWarning),
              std::vector<std::string>{"from worker"});
    EXPECT_EQ(capture.sink().messages("velko.test.logging", LogLevel::kError), std::vector<std::string>{"boom"});
    EXPECT_EQ(capture.sink().records().size(), 3u);
  }
  ScopedLogCapture second;
  EXPECT_TRUE(second.sink().records().empty());
}

}  // namespace
}  // namespace velko::base
