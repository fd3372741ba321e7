// velko cap-sql: what the row cap does to one statement.
#include <iostream>
#include <iterator>

#include "app/command.h"
#include "app/commands/commands.h"
#include "velko/platform/db_utils/sql_limit.h"
#include "velko/platform/sql_lexer/sql_lexer.h"

namespace velko::app {
namespace {

struct CapSqlOptions {
  std::string dialect = "postgres";
  long long limit = 50;
};

void setup_cap_sql(CLI::App& app, CommandContext&) {
  auto options = std::make_shared<CapSqlOptions>();
  CLI::App* command =
      app.add_subcommand("cap-sql",
                         "Read one SQL statement on standard input and write it with its row limit capped "
                         "(exactly, no newline added)");
  command->add_option("--dialect", options->dialect, "postgres, snowflake or databricks")
      ->required()
      ->check(CLI::IsMember({"postgres", "snowflake", "databricks"}));
  command->add_option("--limit", options->limit, "The row cap")->check(CLI::PositiveNumber);
  command->callback([options] {
    std::string query((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    write_stdout(platform::db_utils::add_limit_to_query(query, options->limit,
                                                        platform::sql_lexer::parse_sql_dialect(options->dialect)));
  });
}

}  // namespace

void add_cap_sql_command(CLI::App& app, CommandContext& context) { setup_cap_sql(app, context); }

}  // namespace velko::app
