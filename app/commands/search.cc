// velko search: web search through the service's search proxy (TavilyProxyClient).
//
//   velko search web "dbt snapshots" --max-results 3
//   velko search extract https://docs.getdbt.com/docs/build/snapshots
//   velko search answer "What is dlt?"
//   velko search context "airflow deferrable operators"
//
// The base URL is --base-url, else the local settings' app_url; the token is
// --access-token, else $VELKO_ACCESS_TOKEN. Results go to standard output (JSON for web and
// extract, text for answer and context); failures to standard error with exit status 1.
#include <optional>
#include <string>
#include <vector>

#include "app/command.h"
#include "app/commands/commands.h"
#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/json.h"
#include "velko/clients/scout/tavily_proxy_client.h"
#include "velko/platform/config/local_config.h"

namespace velko::app {
namespace {

struct SearchOptions {
  std::optional<std::string> base_url;
  std::optional<std::string> access_token;
  double timeout = clients::scout::DEFAULT_TIMEOUT_SECONDS;
  std::string query;
  long long max_results = clients::scout::DEFAULT_MAX_RESULTS;
  bool include_raw_content = false;
  std::vector<std::string> urls;
};

clients::scout::TavilyProxyClient client_from(const SearchOptions& options) {
  std::optional<std::string> token = options.access_token;
  if (!token) token = base::getenv_opt("VELKO_ACCESS_TOKEN");
  if (!token || token->empty()) {
    throw base::ValueError("no access token: pass --access-token or set VELKO_ACCESS_TOKEN (run '/login' first)");
  }
  std::string base_url = options.base_url ? *options.base_url : platform::config::settings().app_url;
  return clients::scout::TavilyProxyClient(base_url, *token, options.timeout);
}

void setup_search(CLI::App& app, CommandContext& context) {
  auto options = std::make_shared<SearchOptions>();
  CLI::App* command = app.add_subcommand("search", "Web search through the service's search proxy");
  command->require_subcommand(1);
  command->fallthrough();
  command->add_option("--base-url", options->base_url, "Base URL of the web application (default: settings app_url)");
  command->add_option("--access-token", options->access_token, "Access token (default: $VELKO_ACCESS_TOKEN)");
  command->add_option("--timeout", options->timeout, "Time-out of the request in seconds")->check(CLI::PositiveNumber);

  CLI::App* web = command->add_subcommand("web", "Search the web; prints the result object as JSON");
  web->add_option("query", options->query, "The search query")->required();
  web->add_option("--max-results", options->max_results, "How many results (default 5)");
  web->add_flag("--include-raw-content", options->include_raw_content, "Include the pages' full text");
  web->callback([options, &context] {
    apply_global_options(context.options);
    Json result = client_from(*options).web_search(options->query, options->max_results, options->include_raw_content);
    write_stdout(base::dumps(result) + "\n");
  });

  CLI::App* extract = command->add_subcommand("extract", "Extract page contents; prints the result object as JSON");
  extract->add_option("urls", options->urls, "The page URLs")->required();
  extract->callback([options, &context] {
    apply_global_options(context.options);
    write_stdout(base::dumps(client_from(*options).extract_content(options->urls)) + "\n");
  });

  CLI::App* answer = command->add_subcommand("answer", "Print a short answer to a question");
  answer->add_option("query", options->query, "The question")->required();
  answer->callback([options, &context] {
    apply_global_options(context.options);
    write_stdout(client_from(*options).quick_answer(options->query) + "\n");
  });

  CLI::App* search_context = command->add_subcommand("context", "Print search results condensed into text");
  search_context->add_option("query", options->query, "The search query")->required();
  search_context->add_option("--max-results", options->max_results, "How many sources (default 5)");
  search_context->callback([options, &context] {
    apply_global_options(context.options);
    write_stdout(client_from(*options).get_search_context(options->query, options->max_results) + "\n");
  });
}

}  // namespace

void add_search_command(CLI::App& app, CommandContext& context) { setup_search(app, context); }

}  // namespace velko::app
