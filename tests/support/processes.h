// Test helpers that look at the machine's processes.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace velko::testing {

// Processes still running (zombies excluded) whose command line holds `marker`. Code run
// in its own process namespace is found by what it runs, not by the pid it sees there.
inline std::vector<pid_t> running_with(const std::string& marker) {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream cmdline(entry.path() / "cmdline");
    std::string args((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
    if (args.find(marker) == std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    std::getline(stat, line);
    size_t paren = line.rfind(')');
    if (paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'Z') continue;
    found.push_back(std::stoi(name));
  }
  return found;
}

}  // namespace velko::testing
