#include "velko/platform/config/local_config.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "velko/base/errors.h"
#include "velko/base/files.h"

namespace velko::platform::config {
namespace {

class LocalConfigStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("velko-config-test-" + std::to_string(::getpid()) + "-" +
                                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Rewrites the file in place (same inode), as an editor or another program may.
  void overwrite_in_place(const std::string& text) {
    std::ofstream out(path(), std::ios::binary | std::ios::trunc);
    out << text;
  }
  std::filesystem::path path() const { return dir_ / "config.json"; }
  // Sets the file's modification time an hour back (always to the same instant).
  void age_by_an_hour() {
    if (!aged_) aged_ = ::time(nullptr) - 3600;
    struct timespec times[2] = {{*aged_, 0}, {*aged_, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path().c_str(), times, 0), 0);
  }

  std::filesystem::path dir_;
  std::optional<time_t> aged_;
};

TEST_F(LocalConfigStoreTest, ConnectionsAreStoredPrivatelyAndTheFirstBecomesTheDefault) {
  LocalConfigStore store(path());
  EXPECT_EQ(store.load(), Json::object());  // no file yet
  EXPECT_TRUE(store.database_config(std::nullopt).is_null());

  store.add_connection("a", {{"type", "SQLITE"}, {"database", "/tmp/a.db"}}, false);
  store.add_connection("b", {{"type", "POSTGRES"}, {"password", "pw"}}, false);
  EXPECT_EQ(store.default_connection(), "a");
  EXPECT_EQ(store.database_config(std::nullopt)["database"], "/tmp/a.db");
  EXPECT_EQ(store.database_config("b")["type"], "POSTGRES");
  EXPECT_TRUE(store.database_config("missing").is_null());

  struct stat info {};
  ASSERT_EQ(::stat(path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  store.add_connection("b", {{"type", "POSTGRES"}}, true);
  EXPECT_EQ(store.default_connection(), "b");
  EXPECT_TRUE(store.remove_connection("b"));
  EXPECT_FALSE(store.remove_connection("b"));
  EXPECT_EQ(store.default_connection(), std::nullopt);
  EXPECT_EQ(store.connection_names(), std::vector<std::string>{"a"});
}

TEST_F(LocalConfigStoreTest, ChangesByAnotherWriterAreSeenAtTheNextRead) {
  LocalConfigStore store(path());
  store.add_connection("main", {{"type", "SQLITE"}, {"database", "/tmp/one.db"}}, true);
  EXPECT_EQ(store.database_config(std::nullopt)["database"], "/tmp/one.db");

  // Another process replaces the file (a new inode).
  LocalConfigStore(path()).add_connection("main", {{"type", "SQLITE"}, {"database", "/tmp/two.db"}}, true);
  EXPECT_EQ(store.database_config(std::nullopt)["database"], "/tmp/two.db");

  // Rewritten in place with text of the same length: only the modification time tells.
  std::string text = base::read_file(path());
  std::string edited = text;
  edited.replace(edited.find("/tmp/two.db"), 11, "/tmp/six.db");
  ASSERT_EQ(edited.size(), text.size());
  overwrite_in_place(edited);
  EXPECT_EQ(store.database_config(std::nullopt)["database"], "/tmp/six.db");

  // A file last changed more than two seconds ago is kept parsed; changes are still seen.
  age_by_an_hour();
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));  // its change time too
  EXPECT_EQ(store.database_config(std::nullopt)["database"], "/tmp/six.db");
  // What a read hands out is the caller's copy: changing it changes nothing kept.
  Json document = store.load();
  document["connections"]["main"]["database"] = "/tmp/changed.db";
  Json config = store.database_config(std::nullopt);
  config["database"] = "/tmp/changed.db";
  EXPECT_EQ(store.database_config(std::nullopt)["database"], "/tmp/six.db");
  edited.replace(edited.find("/tmp/six.db"), 11, "/tmp/ten.db");
  overwrite_in_place(edited);
  EXPECT_EQ(store.database_config(std::nullopt)["database"], "/tmp/ten.db");
  age_by_an_hour();
  EXPECT_EQ(store.database_config(std::nullopt)["database"], "/tmp/ten.db");
  // Same size, and the old modification time put back: the change time still tells.
  edited.replace(edited.find("/tmp/ten.db"), 11, "/tmp/one.db");
  overwrite_in_place(edited);
  age_by_an_hour();
  EXPECT_EQ(store.database_config(std::nullopt)["database"], "/tmp/one.db");

  std::filesystem::remove(path());
  EXPECT_TRUE(store.database_config(std::nullopt).is_null());
}

TEST_F(LocalConfigStoreTest, ABrokenFileIsAClearErrorAndIsNeverOverwritten) {
  overwrite_in_place("{\"connections\": ");
  LocalConfigStore store(path());
  EXPECT_THROW(store.load(), base::ValueError);
  EXPECT_THROW(store.add_connection("x", {{"type", "SQLITE"}}, true), base::ValueError);
  EXPECT_EQ(base::read_file(path()), "{\"connections\": ");  // the user's text is kept

  overwrite_in_place("[1, 2]");
  try {
    store.load();
    FAIL() << "a JSON list is not a configuration";
  } catch (const base::ValueError& error) {
    EXPECT_NE(std::string(error.what()).find("is not a JSON object"), std::string::npos);
  }
  EXPECT_THROW(store.add_connection("", {{"type", "SQLITE"}}, true), base::ValueError);
  EXPECT_THROW(store.add_connection("x", {{"host", "h"}}, true), base::ValueError);
}

}  // namespace
}  // namespace velko::platform::config
