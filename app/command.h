// How the velko command is put together: every file in commands/ registers one
// subcommand with VELKO_REGISTER_COMMAND. Registration happens during static
// initialisation; main() builds the CLI11 application from what was registered.
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

// Adds the subcommand to `app`; the callback it installs reads its options and the
// context and sets context.exit_code.
using CommandSetup = std::function<void(CLI::App& app, CommandContext& context)>;

struct CommandEntry {
  std::string name;
  CommandSetup setup;
};

// Registers a subcommand. Returns true (for use in a static initialiser).
bool register_command(std::string name, CommandSetup setup);
// Every registered subcommand, sorted by name.
std::vector<CommandEntry> registered_commands();

// Applies the global options (fills the hosted-service slot from --services).
void apply_global_options(const GlobalOptions& options);

// Writes `text` to standard output exactly as it is (no newline added) and flushes.
void write_stdout(const std::string& text);

}  // namespace velko::app

#define VELKO_CONCAT_INNER(a, b) a##b
#define VELKO_CONCAT(a, b) VELKO_CONCAT_INNER(a, b)
#define VELKO_REGISTER_COMMAND(name, setup) \
  static const bool VELKO_CONCAT(velko_command_registered_, __LINE__) = ::velko::app::register_command(name, setup)
