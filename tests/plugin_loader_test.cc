#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/temp_dir.h"
#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/host/plugin.h"

namespace velko::host {
namespace {

std::string binary_dir() {
  auto dir = base::getenv_opt("VELKO_BINARY_DIR");
  return dir ? *dir : std::string(VELKO_TEST_BINARY_DIR);
}

class PluginLoaderTest : public ::testing::Test {
 protected:
  PluginLoaderTest() : path_("VELKO_PLUGIN_PATH", binary_dir() + "/test-plugins:" + binary_dir() + "/plugins") {}
  base::ScopedEnv path_;
  Registry registry_;
  PluginLoader loader_{registry_};
};

TEST_F(PluginLoaderTest, LoadsAPluginOnceAndItsFactoriesWork) {
  loader_.load("testgood");
  loader_.load("testgood");
  EXPECT_TRUE(loader_.loaded("testgood"));
  ASSERT_TRUE(registry_.middleware("testgood").has_value());
  EXPECT_EQ((*registry_.middleware("testgood"))(MiddlewareContext{})->name(), "TestGood");
  EXPECT_EQ(registry_.middleware_names(), std::vector<std::string>{"testgood"});
}

TEST_F(PluginLoaderTest, TheAnalystPluginRegistersItsMiddleware) {
  loader_.load("analyst");
  auto factory = registry_.middleware("analyst");
  ASSERT_TRUE(factory.has_value());
  auto middleware = (*factory)(MiddlewareContext{"cli", nullptr, std::nullopt, std::nullopt});
  EXPECT_EQ(middleware->name(), "DataAnalysisMiddleware");
  EXPECT_EQ(middleware->tools().size(), 5u);
}

TEST_F(PluginLoaderTest, MissingIncompatibleAndBrokenPluginsAreClearErrors) {
  struct Case {
    std::string name;
    std::string expected;
  };
  const Case cases[] = {
      {"testbadabi", "is incompatible: ABI version 2, this program needs 1"},
      {"testnoentry", "has no velko entry point"},
      {"testfailing", "failed to register"},
  };
  for (const auto& c : cases) {
    try {
      loader_.load(c.name);
      ADD_FAILURE() << c.name << " loaded";
    } catch (const base::ImportError& error) {
      EXPECT_NE(std::string(error.what()).find(c.expected), std::string::npos) << error.what();
      EXPECT_NE(std::string(error.what()).find("Plug-in '" + c.name + "'"), std::string::npos) << error.what();
    }
    EXPECT_FALSE(loader_.loaded(c.name));
  }
  try {
    loader_.load("nosuchplugin");
    ADD_FAILURE() << "loaded a plug-in that does not exist";
  } catch (const base::ModuleNotFoundError& error) {
    EXPECT_NE(std::string(error.what()).find("Plug-in 'nosuchplugin' not found (searched: "), std::string::npos);
    EXPECT_NE(std::string(error.what()).find("test-plugins"), std::string::npos);
  }
}

// A file of the right name that is no shared library is an ImportError naming the file,
// and the first directory of the path that holds the name is the one used, even when a
// later one holds a working plug-in of that name.
TEST(PluginLoaderPath, TheFirstFileFoundIsUsedAndAFileThatIsNoLibraryIsAClearError) {
  velko::testing::TempDir shadow("velko-plugins");
  std::ofstream(shadow.path() / "velko_testgood.so") << "not an ELF file\n";
  base::ScopedEnv path("VELKO_PLUGIN_PATH", "::" + shadow.path().string() + ":" + binary_dir() + "/test-plugins:");
  Registry registry;
  PluginLoader loader(registry);
  std::vector<std::filesystem::path> dirs = loader.search_path();
  ASSERT_GE(dirs.size(), 2u);
  EXPECT_EQ(dirs[0], shadow.path());  // empty pieces are skipped
  EXPECT_EQ(dirs[1], std::filesystem::path(binary_dir() + "/test-plugins"));
  try {
    loader.load("testgood");
    ADD_FAILURE() << "a file that is no library loaded";
  } catch (const base::ImportError& error) {
    std::string text = error.what();
    EXPECT_NE(
        text.find("Plug-in 'testgood' could not be loaded from " + (shadow.path() / "velko_testgood.so").string()),
        std::string::npos)
        << text;
  }
  EXPECT_FALSE(loader.loaded("testgood"));
  EXPECT_TRUE(registry.middleware_names().empty());

  // Without the shadowing file the same loader finds the working plug-in.
  std::filesystem::remove(shadow.path() / "velko_testgood.so");
  loader.load("testgood");
  EXPECT_TRUE(loader.loaded("testgood"));
  EXPECT_TRUE(registry.middleware("testgood").has_value());
}

}  // namespace
}  // namespace velko::host
