#include "velko/platform/storage/s3_storage.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <future>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/files.h"

namespace velko::platform::storage {
namespace {

namespace fs = std::filesystem;

class S3StorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("velko-storage-" + std::to_string(::getpid()) + " " +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
  }
  void TearDown() override { fs::remove_all(root_); }
  fs::path root_;
};

TEST_F(S3StorageTest, UploadWritesUnderTheRootAndAnswersUrlAndKey) {
  S3Storage storage(root_);
  std::string png("\x89PNG\r\n\x1a\n\0data", 12);
  Json answer = storage.upload_chart("charts/call_1/a b.png", png, "image/png");
  fs::path stored = root_ / "charts" / "call_1" / "a b.png";
  EXPECT_EQ(base::read_file(stored), png);
  EXPECT_EQ(base::dumps(answer), "{\"url\": \"" + file_url(stored) + "\", \"key\": \"charts/call_1/a b.png\"}");
  EXPECT_NE(answer["url"].get<std::string>().find("/a%20b.png"), std::string::npos);

  // The same key again replaces the object.
  storage.upload_chart("charts/call_1/a b.png", "second", "image/png");
  EXPECT_EQ(base::read_file(stored), "second");
}

TEST_F(S3StorageTest, KeysThatLeaveTheRootOrAreMalformedAreRefused) {
  S3Storage storage(root_);
  for (const std::string& key :
       std::vector<std::string>{"", "/etc/x.png", "../x.png", "charts/../../x.png", "charts//x.png", "charts/./x.png",
                                "charts/x.png/", "a\\b.png", std::string("a\0b", 3), std::string(1025, 'k')}) {
    EXPECT_THROW(storage.upload_chart(key, "data", "image/png"), base::ValueError) << key;
  }
  EXPECT_THROW(storage.upload_chart("ok.png", "data", ""), base::ValueError);
  EXPECT_FALSE(fs::exists(root_.parent_path() / "x.png"));
  EXPECT_FALSE(fs::exists(root_ / "ok.png"));
}

TEST_F(S3StorageTest, RootFromEnvironmentAtUploadTimeAndUrlEncoding) {
  S3Storage storage;
  {
    base::ScopedEnv env("VELKO_STORAGE_ROOT", root_.string());
    storage.upload_chart("k.png", "x", "image/png");
  }
  EXPECT_TRUE(fs::exists(root_ / "k.png"));
  base::ScopedEnv unset("VELKO_STORAGE_ROOT", std::nullopt);
  base::ScopedEnv home("HOME", "/home/someone");
  EXPECT_EQ(default_storage_root(), fs::path("/home/someone/.velko/storage"));
  EXPECT_EQ(file_url("/tmp/a b/%#?\xc3\xa9.png"), "file:///tmp/a%20b/%25%23%3F%C3%A9.png");
}

TEST_F(S3StorageTest, ConcurrentUploadsOfOneKeyLeaveOneWholeObject) {
  S3Storage storage(root_);
  std::vector<std::future<void>> uploads;
  for (int writer = 0; writer < 8; ++writer) {
    uploads.push_back(std::async(std::launch::async, [&storage, writer] {
      storage.upload_chart("charts/same.png", std::string(200000, static_cast<char>('a' + writer)), "image/png");
    }));
  }
  for (auto& upload : uploads) upload.get();
  std::string data = base::read_file(root_ / "charts" / "same.png");
  ASSERT_EQ(data.size(), 200000u);
  EXPECT_EQ(data.find_first_not_of(data[0]), std::string::npos);
}

}  // namespace
}  // namespace velko::platform::storage
