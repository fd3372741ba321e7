#include "velko/middleware/analyst/python_interpreter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/files.h"

namespace velko::middleware::analyst {
namespace {

namespace fs = std::filesystem;

// Directories of stand-in interpreters: each answers the import check with a fixed list
// of missing modules (one a line), or fails outright.
class PythonInterpreterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("velko-python-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path interpreter(const std::string& subdir, const std::string& name, const std::string& body) {
    fs::path path = dir_ / subdir / name;
    base::write_file_atomic(path, "#!/bin/sh\n" + body + "\n", 0755);
    return path;
  }
  fs::path dir_;
  base::ScopedEnv no_override_{"VELKO_PYTHON", std::nullopt};
};

TEST_F(PythonInterpreterTest, ExplicitChoiceWinsWithoutAnyCheck) {
  base::ScopedEnv chosen("VELKO_PYTHON", "/opt/custom/bin/python3.12");
  EXPECT_EQ(chart_python_interpreter(), "/opt/custom/bin/python3.12");
}

TEST_F(PythonInterpreterTest, FirstCandidateInPathOrderThatImportsEverything) {
  interpreter("a", "python3", "printf 'pandas\\nseaborn\\n'");
  interpreter("a", "python", "exit 1");
  fs::path good = interpreter("b", "python3", "exit 0");
  interpreter("c", "python3", "exit 0");
  base::ScopedEnv path("PATH", (dir_ / "a").string() + ":" + (dir_ / "missing").string() + ":" + (dir_ / "b").string() +
                                   ":" + (dir_ / "c").string());
  EXPECT_EQ(chart_python_interpreter(), good.string());

  // Checked once: a later change to the candidates is not seen under the same PATH.
  interpreter("b", "python3", "exit 1");
  EXPECT_EQ(chart_python_interpreter(), good.string());
}

TEST_F(PythonInterpreterTest, NoSuitableInterpreterNamesWhatIsMissing) {
  fs::path partial = interpreter("a", "python3", "printf 'pandas\\nseaborn\\n'");
  fs::path broken = interpreter("a", "python", "exit 1");
  base::ScopedEnv path("PATH", (dir_ / "a").string());
  try {
    chart_python_interpreter();
    FAIL() << "expected ModuleNotFoundError";
  } catch (const base::ModuleNotFoundError& error) {
    std::string message = error.what();
    EXPECT_NE(message.find(partial.string() + " lacks pandas, seaborn"), std::string::npos) << message;
    EXPECT_NE(message.find(broken.string() + " lacks pandas, matplotlib, seaborn, sqlalchemy"), std::string::npos)
        << message;
    EXPECT_NE(message.find("VELKO_PYTHON"), std::string::npos);
  }

  fs::create_directories(dir_ / "empty");
  base::ScopedEnv empty("PATH", (dir_ / "empty").string());
  try {
    chart_python_interpreter();
    FAIL() << "expected ModuleNotFoundError";
  } catch (const base::ModuleNotFoundError& error) {
    EXPECT_EQ(std::string(error.what()).rfind("No python3 or python found on PATH", 0), 0u) << error.what();
  }
}

TEST_F(PythonInterpreterTest, RealInterpreterReportsOnlyTheModulesItLacks) {
  ASSERT_TRUE(fs::exists("/usr/bin/python3"));
  EXPECT_EQ(missing_python_modules("/usr/bin/python3", {"json", "velko_no_such_module", "os"}),
            std::vector<std::string>{"velko_no_such_module"});
  EXPECT_EQ(missing_python_modules((dir_ / "absent").string(), {"json"}), std::vector<std::string>{"json"});
}

}  // namespace
}  // namespace velko::middleware::analyst
