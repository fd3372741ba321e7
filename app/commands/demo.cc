// velko demo: the whole road on the embedded default. Creates a sample SQLite warehouse,
// registers it as a local connection, builds the agent with every middleware, prints the
// system prompt, then plays the tool calls a model would make and prints each result.
#include <iostream>

#include "app/agent_builder.h"
#include "app/command.h"
#include "app/commands/commands.h"
#include "app/demo_warehouse.h"
#include "velko/base/env.h"
#include "velko/base/json.h"
#include "velko/platform/config/local_config.h"

namespace velko::app {
namespace {

constexpr const char* kConnectionName = "velko-demo";

constexpr const char* kRevenueQuery =
    "SELECT c.segment, COUNT(DISTINCT o.order_id) AS orders,\n"
    "       ROUND(SUM(i.quantity * i.unit_price), 2) AS revenue\n"
    "FROM orders o\n"
    "JOIN customers c ON c.customer_id = o.customer_id\n"
    "JOIN order_items i ON i.order_id = o.order_id\n"
    "WHERE o.status <> 'cancelled'\n"
    "GROUP BY c.segment\n"
    "ORDER BY revenue DESC";

constexpr const char* kCappedQuery = "SELECT order_id, order_date, status FROM orders ORDER BY order_date DESC";

constexpr const char* kChartCode =
    "df = query_db(\"SELECT month, revenue FROM monthly_revenue\")\n"
    "fig, ax = plt.subplots(figsize=(10, 5))\n"
    "sns.lineplot(data=df, x='month', y='revenue', marker='o', ax=ax)\n"
    "ax.set_title('Monthly revenue (delivered and shipped orders)')\n"
    "ax.tick_params(axis='x', rotation=60)\n"
    "fig.tight_layout()\n"
    "plt.savefig('monthly_revenue.png')";

struct DemoOptions {
  bool skip_chart = false;
};

void print_section(const std::string& title) { std::cout << "\n== " << title << "\n" << std::flush; }

// Registers the warehouse without disturbing the user's own configuration: the demo
// connection becomes the default only when there is no default yet.
std::string register_connection(const std::filesystem::path& warehouse) {
  platform::config::LocalConfigStore store;
  bool had_default = store.default_connection().has_value();
  store.add_connection(kConnectionName, {{"type", "SQLITE"}, {"database", warehouse.string()}}, !had_default);
  if (had_default && store.default_connection() != kConnectionName) {
    return "added local connection '" + std::string(kConnectionName) + "' (your default connection '" +
           *store.default_connection() + "' is unchanged)";
  }
  return "registered local connection '" + std::string(kConnectionName) + "' as the default";
}

std::string first_schema(const std::string& schemas_json) {
  try {
    Json parsed = Json::parse(schemas_json);
    if (parsed.contains("schemas") && !parsed["schemas"].empty()) return parsed["schemas"][0].get<std::string>();
  } catch (const std::exception&) {
  }
  return "main";
}

void run_demo(const DemoOptions& options) {
  std::filesystem::path warehouse = platform::config::velko_home() / "demo" / "warehouse.db";
  DemoWarehouseSummary summary = create_demo_warehouse(warehouse);
  std::cout << "Sample warehouse: " << warehouse.string() << " (" << summary.customers << " customers, "
            << summary.products << " products, " << summary.orders << " orders, " << summary.order_items
            << " order items, " << summary.payments << " payments)\n";
  std::cout << register_connection(warehouse) << "\n";

  AgentOptions agent_options;
  agent_options.mode = "cli";
  agent_options.cwd = base::getenv_opt("PWD");
  auto agent = build_agent(agent_options);
  Json state = agent->run_before_agent(initial_state(std::string(kConnectionName)));

  print_section("System prompt the model receives");
  std::cout << agent->system_prompt_for(state) << "\n";

  int call_number = 0;
  auto play = [&](const std::string& tool, const Json& args) {
    ++call_number;
    print_section("Tool call " + std::to_string(call_number) + ": " + tool + " " + base::dumps(args));
    std::string result =
        agent->call_tool_text(host::ToolCall{"demo-" + std::to_string(call_number), tool, args}, state);
    std::cout << result << "\n" << std::flush;
    return result;
  };

  std::string schemas = play("list_schemas_tool", Json::object());
  std::string schema = first_schema(schemas);
  play("list_tables_tool", {{"db_schema", schema}});
  play("get_table_columns_tool", {{"db_schema", schema}, {"table_names", "orders, order_items"}});
  play("execute_sql_query", {{"query", kRevenueQuery}});
  play("execute_sql_query", {{"query", kCappedQuery}});
  if (options.skip_chart) return;
  std::string chart = play("generate_charts", {{"python_code", kChartCode}});
  try {
    Json parsed = Json::parse(chart);
    if (parsed.contains("charts") && !parsed["charts"].empty()) {
      std::cout << "\nChart saved: " << parsed["charts"][0].value("path", "") << "\n";
    } else if (parsed.contains("error")) {
      std::cout << "\nNo chart was drawn: " << parsed["error"].get<std::string>()
                << "\n(everything else above ran; charts need a Python with pandas, matplotlib, seaborn and "
                   "sqlalchemy, or set VELKO_PYTHON)\n";
    }
  } catch (const std::exception&) {
    std::cout << "\nNo chart was drawn: " << chart << "\n";
  }
}

void setup_demo(CLI::App& app, CommandContext& context) {
  auto options = std::make_shared<DemoOptions>();
  CLI::App* command = app.add_subcommand(
      "demo",
      "Create a sample SQLite warehouse, register it as a local connection, print the agent's system "
      "prompt and play the tool calls a model would make (schemas, tables, columns, a capped query, a chart)");
  command->add_flag("--skip-chart", options->skip_chart, "Do not draw the chart");
  command->callback([options, &context] {
    apply_global_options(context.options);
    run_demo(*options);
  });
}

}  // namespace

void add_demo_command(CLI::App& app, CommandContext& context) { setup_demo(app, context); }

}  // namespace velko::app
