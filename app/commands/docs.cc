// velko docs: documentation search in the hosted Chroma database (ChromaDBClient).
//
//   velko docs list
//   velko docs search "retry a failed task" --collection airflow_docs --n-results 3
//
// Credentials come from CHROMA_TENANT, CHROMA_DATABASE, CHROMA_API_KEY and OPENAI_API_KEY;
// CHROMA_URL and OPENAI_BASE_URL move the services. The search result mapping is printed as
// JSON; the exit status is 1 when it reports an error (or the credentials are missing).
#include <string>

#include "app/command.h"
#include "app/commands/commands.h"
#include "velko/base/json.h"
#include "velko/clients/chromadb/chromadb_client.h"

namespace velko::app {
namespace {

struct DocsOptions {
  std::string query;
  std::string collection = clients::chromadb::DEFAULT_COLLECTION;
  long long n_results = clients::chromadb::DEFAULT_N_RESULTS;
};

void setup_docs(CLI::App& app, CommandContext& context) {
  auto options = std::make_shared<DocsOptions>();
  CLI::App* command = app.add_subcommand("docs", "Documentation search (Airflow, dlt, dbt collections)");
  command->require_subcommand(1);

  CLI::App* list = command->add_subcommand("list", "Print the searchable collections as a JSON list");
  list->callback([&context] {
    apply_global_options(context.options);
    write_stdout(base::dumps(Json(clients::chromadb::ChromaDBClient().list_collections())) + "\n");
  });

  CLI::App* search = command->add_subcommand("search", "Search a collection; prints the result mapping as JSON");
  search->add_option("query", options->query, "What to look for")->required();
  search->add_option("--collection", options->collection, "The collection (default airflow_docs)");
  search->add_option("--n-results", options->n_results, "How many passages, 1 to 20 (default 5)");
  search->callback([options, &context] {
    apply_global_options(context.options);
    Json result =
        clients::chromadb::ChromaDBClient().search_docs(options->query, options->collection, options->n_results);
    write_stdout(base::dumps(result) + "\n");
    if (result.contains("error")) context.exit_code = 1;
  });
}

}  // namespace

void add_docs_command(CLI::App& app, CommandContext& context) { setup_docs(app, context); }

}  // namespace velko::app
