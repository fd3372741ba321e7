// velko exec: runs one shell command through a sandbox backend and prints its output,
// then a line "exit code: N".
//
//   velko exec --backend kubernetes --id sandbox-7f3c --namespace team -- ls -la /data
//
// Several words after "--" are joined into one command, each quoted for the shell when
// it needs it; a single word is the command text itself (so `-- 'ls | wc -l'` runs a
// pipeline). velko's own exit status is 0 when the command ran, whatever its exit code,
// and 1 with a message on standard error when the backend raised.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/command.h"
#include "app/commands/commands.h"
#include "velko/backends/kubernetes/kubernetes_backend.h"
#include "velko/backends/kubernetes/module.h"
#include "velko/base/errors.h"
#include "velko/platform/sandbox/e2b_backend.h"

namespace velko::app {
namespace {

struct ExecOptions {
  std::string backend = "kubernetes";
  std::string id;
  std::optional<std::string> namespace_name;
  std::optional<std::string> cwd;
  std::optional<int> timeout;
  std::vector<std::string> words;
};

std::string command_text(const std::vector<std::string>& words) {
  if (words.size() == 1) return words[0];
  std::string text;
  for (const auto& word : words) {
    if (!text.empty()) text += " ";
    text += word.empty() ? "''" : backends::kubernetes::shell_quote_path(word);
  }
  return text;
}

std::shared_ptr<host::BackendProtocol> make_backend(const ExecOptions& options) {
  if (options.backend == "kubernetes") {
    Json settings = {{"id", options.id}};
    if (options.namespace_name) settings["namespace"] = *options.namespace_name;
    if (options.cwd) settings["cwd"] = *options.cwd;
    if (options.timeout) settings["timeout"] = *options.timeout;
    return backends::kubernetes::make_backend(settings);
  }
  if (options.namespace_name) throw base::ValueError("--namespace applies to the kubernetes backend only");
  auto backend =
      std::make_shared<platform::sandbox::E2BBackend>(options.timeout.value_or(host::SANDBOX_TIMEOUT_SECONDS));
  backend->set_id(options.id);
  if (options.cwd) backend->set_cwd(*options.cwd);
  return backend;
}

void setup_exec(CLI::App& app, CommandContext& context) {
  auto options = std::make_shared<ExecOptions>();
  CLI::App* command = app.add_subcommand(
      "exec",
      "Run one shell command through a sandbox backend (a Kubernetes pod through kubectl, or the local "
      "sandbox) and print its output and then \"exit code: N\"");
  command->add_option("--backend", options->backend, "kubernetes or local (default: kubernetes)")
      ->check(CLI::IsMember({"kubernetes", "local"}));
  command->add_option("--id", options->id, "The pod name (kubernetes) or the sandbox id (local)")->required();
  command->add_option("--namespace", options->namespace_name,
                      "Kubernetes namespace (default: $VELKO_K8S_NAMESPACE, else velko-sandbox)");
  command->add_option("--cwd", options->cwd, "Working directory for the command");
  command->add_option("--timeout", options->timeout, "Time limit of the command in seconds (default: 300)")
      ->check(CLI::NonNegativeNumber);
  command->add_option("command", options->words, "The command, after --")->required();
  command->callback([options, &context] {
    auto backend = make_backend(*options);
    host::ExecuteResponse response = backend->execute(command_text(options->words));
    std::string out = response.output;
    if (!out.empty() && out.back() != '\n') out += "\n";
    write_stdout(out + "exit code: " + std::to_string(response.exit_code) + "\n");
    context.exit_code = 0;
  });
}

}  // namespace

void add_exec_command(CLI::App& app, CommandContext& context) { setup_exec(app, context); }

}  // namespace velko::app
