// velko connections add|list|remove: the warehouse connections of the local
// configuration store ($HOME/.velko/config.json, written atomically with mode 0600).
// The password is read from standard input (--password-stdin), never from the command
// line, and `list` never prints it.
#include <filesystem>
#include <iostream>
#include <iterator>

#include "app/command.h"
#include "app/commands/commands.h"
#include "velko/base/json.h"
#include "velko/base/printable.h"
#include "velko/base/strings.h"
#include "velko/platform/config/local_config.h"
#include "velko/platform/db_utils/database_config.h"
#include "velko/platform/warehouse/warehouse.h"

namespace velko::app {
namespace {

using platform::db_utils::DatabaseType;

// Connection types, in the order the usage lists them, and the keys each one needs (the
// password counts as a key).
const std::vector<std::pair<DatabaseType, std::vector<std::string>>> CONNECTION_TYPES = {
    {DatabaseType::kPostgres, {"host", "username", "password", "database"}},
    {DatabaseType::kSnowflake, {"host", "username", "password"}},
    {DatabaseType::kDatabricks, {"host", "warehouse", "password"}},
    {DatabaseType::kBigquery, {"host"}},
    {DatabaseType::kClickhouse, {"host", "username", "password", "database"}},
    {DatabaseType::kMotherduck, {"password"}},
    {DatabaseType::kSqlite, {"database"}},
    {DatabaseType::kDuckdb, {"database"}},
};

// Keys shown by `list`, in this order; the password only as "***".
const std::vector<std::string> SHOWN_KEYS = {"host",      "port", "username", "database",
                                             "warehouse", "role", "keyfile",  "query_timeout"};

struct AddOptions {
  std::string name;
  std::string type;
  std::optional<std::string> host, port, username, database, warehouse, role, keyfile;
  std::optional<double> query_timeout;
  bool password_stdin = false;
  bool make_default = false;
};

// Standard input without one trailing line break.
std::string read_password() {
  std::string password((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
  if (password.ends_with('\n')) password.pop_back();
  if (password.ends_with('\r')) password.pop_back();
  return password;
}

int add_connection(const AddOptions& options) {
  const std::optional<DatabaseType> known_type =
      platform::db_utils::parse_database_type(base::ascii_upper(options.type));
  const std::vector<std::string>* needed = nullptr;
  for (const auto& [listed, keys] : CONNECTION_TYPES) {
    if (listed == known_type) needed = &keys;
  }
  if (needed == nullptr) {
    std::string known;
    for (const auto& [listed, keys] : CONNECTION_TYPES) {
      known += (known.empty() ? "" : ", ") + std::string(platform::db_utils::database_type_name(listed));
    }
    std::cerr << "velko: unknown connection type '" << options.type << "' (one of " << known << ")\n";
    return 2;
  }
  const DatabaseType type = *known_type;
  const std::string type_name(platform::db_utils::database_type_name(type));
  Json config = {{"type", type_name}};
  auto put = [&config](const char* key, const std::optional<std::string>& value) {
    if (value) config[key] = *value;
  };
  put("host", options.host);
  put("port", options.port);
  put("username", options.username);
  if (options.password_stdin) config["password"] = read_password();
  std::optional<std::string> database = options.database;
  // Paths are stored absolute, so the connection works from any directory.
  auto absolute = [](std::optional<std::string> path) {
    if (path && !path->empty() && !path->starts_with("~")) {
      path = std::filesystem::absolute(*path).lexically_normal().string();
    }
    return path;
  };
  if (type == DatabaseType::kSqlite || type == DatabaseType::kDuckdb) database = absolute(database);
  put("database", database);
  put("warehouse", options.warehouse);
  put("role", options.role);
  put("keyfile", absolute(options.keyfile));
  if (options.query_timeout) {
    double seconds = *options.query_timeout;
    if (!(seconds > 0) || seconds > static_cast<double>(platform::warehouse::MAX_QUERY_TIMEOUT.count())) {
      std::cerr << "velko: --query-timeout must be a number of seconds above 0 and at most "
                << platform::warehouse::MAX_QUERY_TIMEOUT.count() << "\n";
      return 2;
    }
    if (seconds == static_cast<double>(static_cast<long long>(seconds))) {
      config["query_timeout"] = static_cast<long long>(seconds);
    } else {
      config["query_timeout"] = seconds;
    }
  }

  std::vector<std::string> missing;
  for (const auto& key : *needed) {
    if (!config.contains(key)) missing.push_back(key == "password" ? "--password-stdin" : "--" + key);
  }
  if (type == DatabaseType::kBigquery && !config.contains("keyfile") && !config.contains("password")) {
    missing.push_back("--keyfile (or the key JSON with --password-stdin)");
  }
  if (!missing.empty()) {
    std::string list;
    for (const auto& option : missing) list += (list.empty() ? "" : ", ") + option;
    std::cerr << "velko: a " << type_name << " connection needs " << list << "\n";
    return 2;
  }
  platform::config::LocalConfigStore store;
  store.add_connection(options.name, config, options.make_default);
  bool is_default = store.default_connection() == options.name;
  write_stdout("Added connection '" + options.name + "'" + (is_default ? " (default)" : "") + "\n");
  return 0;
}

// A stored value as `list` shows it: on one line, no control character (a name or value
// holding escape sequences or line breaks cannot forge lines on the terminal).
std::string text_of(const Json& value) {
  return base::printable_text(value.is_string() ? value.get<std::string>() : base::dumps(value),
                              base::LineBreaks::kJoin);
}

int list_connections() {
  platform::config::LocalConfigStore store;
  Json document = store.load();
  std::optional<std::string> default_name = store.default_connection();
  std::vector<std::string> names = store.connection_names();
  if (names.empty()) {
    write_stdout("No connections configured.\n");
    return 0;
  }
  std::string out;
  for (const auto& name : names) {
    const Json& config = document["connections"][name];
    out += (name == default_name ? "* " : "  ") + text_of(name);
    out += "  " + (config.contains("type") ? text_of(config["type"]) : std::string("?"));
    for (const auto& key : SHOWN_KEYS) {
      if (config.contains(key)) out += "  " + key + "=" + text_of(config[key]);
    }
    if (config.contains("password")) out += "  password=***";
    out += "\n";
  }
  write_stdout(out);
  return 0;
}

void setup_connections(CLI::App& app, CommandContext& context) {
  CLI::App* command =
      app.add_subcommand("connections",
                         "Add, list and remove the warehouse connections of the local configuration store "
                         "($HOME/.velko/config.json)");
  command->require_subcommand(1);

  auto options = std::make_shared<AddOptions>();
  CLI::App* add = command->add_subcommand("add", "Add a connection, or replace the one of that name");
  add->add_option("name", options->name, "Connection name")->required();
  add->add_option("--type", options->type,
                  "POSTGRES, SNOWFLAKE, DATABRICKS, BIGQUERY, CLICKHOUSE, MOTHERDUCK, SQLITE or DUCKDB")
      ->required();
  add->add_option("--host", options->host, "Server host (Snowflake: the account; BigQuery: the project)");
  add->add_option("--port", options->port, "Server port");
  add->add_option("--username", options->username, "Login name");
  add->add_option("--database", options->database,
                  "Database (SQLite: the file; DuckDB: the file or a folder of data files)");
  add->add_option("--warehouse", options->warehouse, "Warehouse (Databricks: the HTTP path)");
  add->add_option("--role", options->role, "Role to assume");
  add->add_option("--keyfile", options->keyfile, "BigQuery credentials file");
  add->add_option("--query-timeout", options->query_timeout,
                  "Time limit of each query in seconds (default 120; VELKO_QUERY_TIMEOUT overrides it)");
  add->add_flag(
      "--password-stdin", options->password_stdin,
      "Read the password (or token; Snowflake: a programmatic access token) from standard input; one trailing "
      "line break is dropped");
  add->add_flag("--default", options->make_default, "Make it the default connection");
  add->callback([options, &context] { context.exit_code = add_connection(*options); });

  CLI::App* list = command->add_subcommand("list", "List the connections (passwords are never shown)");
  list->callback([&context] { context.exit_code = list_connections(); });

  auto remove_name = std::make_shared<std::string>();
  CLI::App* remove = command->add_subcommand("remove", "Remove a connection");
  remove->add_option("name", *remove_name, "Connection name")->required();
  remove->callback([remove_name, &context] {
    if (!platform::config::LocalConfigStore().remove_connection(*remove_name)) {
      std::cerr << "velko: no connection named '" << *remove_name << "'\n";
      context.exit_code = 1;
      return;
    }
    write_stdout("Removed connection '" + *remove_name + "'\n");
  });
}

}  // namespace

void add_connections_command(CLI::App& app, CommandContext& context) { setup_connections(app, context); }

}  // namespace velko::app
