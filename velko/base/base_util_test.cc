#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/files.h"
#include "velko/base/logging.h"
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
