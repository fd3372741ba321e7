// Test helpers that look at the machine's processes.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace velko::testing {

// Processes still running (zombies excluded) whose command line holds `marker`. Code run
// in its own process namespace is found by what it runs, not by the pid it sees there.
inline std::vector<pid_t> running_with(const std::string& marker) {
  std::vector<pid_t> found;
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    // A process may end while it is read (reads then fail with ESRCH): it is not running.
    try {
      std::ifstream cmdline(it->path() / "cmdline");
      std::string args((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
      if (args.find(marker) == std::string::npos) continue;
      std::ifstream stat(it->path() / "stat");
      std::string line;
      std::getline(stat, line);
      size_t paren = line.rfind(')');
      if (line.empty() || (paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'Z')) continue;
      found.push_back(std::stoi(name));
    } catch (const std::exception&) {
      continue;
    }
  }
  return found;
}

}  // namespace velko::testing
