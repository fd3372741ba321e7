// Drives `velko mcp` with the official MCP TypeScript SDK client, as an MCP host would:
// initialize, list the tools, call each data tool against the demo warehouse, and check
// that protocol errors come back as errors. Prints "N passed, M failed".
//
// Environment: VELKO_BIN, the velko command to test.
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";
import { execFileSync } from "node:child_process";
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";

const velko = process.env.VELKO_BIN;
if (!velko) {
  console.error("VELKO_BIN is not set");
  process.exit(2);
}

let passed = 0;
let failed = 0;
function check(name, condition, detail = "") {
  if (condition) {
    passed += 1;
  } else {
    failed += 1;
    console.error(`FAIL ${name} ${detail}`);
  }
}

const home = mkdtempSync(join(tmpdir(), "velko-mcp-"));
const env = { ...process.env, HOME: home };
try {
  execFileSync(velko, ["demo", "--skip-chart"], { env, stdio: "ignore" });

  const transport = new StdioClientTransport({ command: velko, args: ["mcp"], env, stderr: "pipe" });
  const client = new Client({ name: "velko-test-client", version: "1.0.0" });
  await client.connect(transport);

  check("the server names itself", client.getServerVersion()?.name === "velko");
  const instructions = client.getInstructions() ?? "";
  check("instructions hold the database block", instructions.includes("### Database Connection"), instructions);
  check("instructions name the dialect", instructions.includes("SQL dialect: **SQLite**"), instructions);

  const { tools } = await client.listTools();
  const names = tools.map((tool) => tool.name);
  for (const name of ["execute_sql_query", "list_schemas_tool", "list_tables_tool", "get_table_columns_tool",
                      "generate_charts"]) {
    check(`tools/list offers ${name}`, names.includes(name), JSON.stringify(names));
  }
  const sqlTool = tools.find((tool) => tool.name === "execute_sql_query");
  check("execute_sql_query schema requires query", sqlTool?.inputSchema?.required?.includes("query"));

  const text = (result) => result.content?.[0]?.text ?? "";

  const schemas = JSON.parse(text(await client.callTool({ name: "list_schemas_tool", arguments: {} })));
  check("list_schemas_tool lists main", schemas.schemas?.includes("main"), JSON.stringify(schemas));

  const tables = JSON.parse(text(await client.callTool({ name: "list_tables_tool", arguments: { db_schema: "main" } })));
  check("list_tables_tool lists orders", tables.tables?.includes("orders"), JSON.stringify(tables));

  const columns = JSON.parse(text(await client.callTool({
    name: "get_table_columns_tool", arguments: { db_schema: "main", table_names: "orders, customers" } })));
  check("get_table_columns_tool describes two tables",
        columns.length === 2 && columns[0].table === "main.orders" && columns[0].columns.some((c) => c.name === "order_id"),
        JSON.stringify(columns).slice(0, 300));

  const capped = await client.callTool({ name: "execute_sql_query", arguments: { query: "SELECT * FROM orders" } });
  const rows = JSON.parse(text(capped));
  check("execute_sql_query is capped at 50 rows", rows.rows?.length === 50 && !capped.isError);
  check("execute_sql_query returns headers", rows.headers?.[0] === "order_id", JSON.stringify(rows.headers));

  const count = JSON.parse(text(await client.callTool({
    name: "execute_sql_query", arguments: { query: "SELECT COUNT(*) AS n FROM orders;" } })));
  check("execute_sql_query counts the demo orders", count.rows?.[0]?.[0] === 4000, JSON.stringify(count));

  const bad = await client.callTool({ name: "execute_sql_query", arguments: { query: "SELECT * FROM no_such_table" } });
  check("a failing query is flagged isError", bad.isError === true && text(bad).startsWith("Error executing query: "),
        text(bad));

  const write = await client.callTool({ name: "execute_sql_query", arguments: { query: "DELETE FROM orders" } });
  check("a write is refused", write.isError === true, text(write));
  const after = JSON.parse(text(await client.callTool({
    name: "execute_sql_query", arguments: { query: "SELECT COUNT(*) FROM orders" } })));
  check("the data is unchanged after the refused write", after.rows?.[0]?.[0] === 4000, JSON.stringify(after));

  let unknownError = null;
  try {
    await client.callTool({ name: "no_such_tool", arguments: {} });
  } catch (error) {
    unknownError = error;
  }
  check("an unknown tool is a JSON-RPC error", unknownError !== null && String(unknownError).includes("Unknown tool"),
        String(unknownError));

  let argsError = null;
  try {
    await client.callTool({ name: "list_tables_tool", arguments: { db_schema: 42 } });
  } catch (error) {
    argsError = error;
  }
  check("wrong arguments are a JSON-RPC error", argsError !== null, String(argsError));

  await client.ping();
  check("ping answers", true);
  await client.close();
} catch (error) {
  failed += 1;
  console.error(`FAIL unexpected error: ${error?.stack ?? error}`);
} finally {
  rmSync(home, { recursive: true, force: true });
}
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
