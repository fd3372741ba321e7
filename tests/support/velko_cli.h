// Runs the built velko command as a user would from a shell, with HOME pointed at a
// temporary directory (the test's own configuration store), for end-to-end tests.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/pg_warehouse.h"
#include "velko/base/files.h"
#include "velko/base/strings.h"

namespace velko::testing {

struct CliOutput {
  std::string out;
  std::string err;
  int status = -1;
};

class VelkoCli {
 public:
  // Runs `velko args...` (each argument quoted), `input` on standard input.
  CliOutput run(const std::vector<std::string>& args, const std::string& input = "") {
    std::string command = quote(binary_.string());
    for (const auto& arg : args) command += " " + quote(arg);
    base::write_file_atomic(home_.path() / "stdin", input, 0600);
    command += " <" + quote((home_.path() / "stdin").string()) + " 2>" + quote((home_.path() / "stderr").string());
    CliOutput output;
    std::tie(output.out, output.status) = run_command(command);
    output.err = base::read_file(home_.path() / "stderr");
    return output;
  }
  const std::filesystem::path& home() const { return home_.path(); }

 private:
  static std::string quote(const std::string& text) { return "'" + base::replace_all(text, "'", "'\\''") + "'"; }

  std::filesystem::path binary_ = std::filesystem::path(VELKO_TEST_BINARY_DIR) / "app/velko";
  TempHome home_;
};

}  // namespace velko::testing
