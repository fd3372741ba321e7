#include "app/command.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "velko/platform/services/hosted_services.h"

namespace velko::app {
namespace {
std::vector<CommandEntry>& commands() {
  static std::vector<CommandEntry> entries;
  return entries;
}
}  // namespace

bool register_command(std::string name, CommandSetup setup) {
  commands().push_back(CommandEntry{std::move(name), std::move(setup)});
  return true;
}

std::vector<CommandEntry> registered_commands() {
  auto entries = commands();
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  return entries;
}

void apply_global_options(const GlobalOptions& options) {
  if (!options.services_dir.empty()) {
    platform::services::set_hosted_services(platform::services::load_services_dir(options.services_dir));
  }
}

void write_stdout(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace velko::app
