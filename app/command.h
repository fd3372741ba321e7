// What the velko command's subcommands share: the global options, the context a command
// sets its exit status in, and the output helpers. The subcommands themselves are listed
// in commands/commands.h; main() adds them all.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velko::app {

// Options every subcommand shares, filled by CLI11 before a command's callback runs.
struct GlobalOptions {
  // Directory of JSON files that fill the hosted-service slots (databases.json, ...).
  std::string services_dir;
};

struct CommandContext {
  GlobalOptions options;
  int exit_code = 0;
};

// Applies the global options (fills the hosted-service slot from --services).
void apply_global_options(const GlobalOptions& options);

// Writes `text` to standard output exactly as it is (no newline added) and flushes.
void write_stdout(const std::string& text);

}  // namespace velko::app
