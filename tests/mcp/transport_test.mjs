// Drives `velko mcp` over both transports the way real MCP hosts do, with the official MCP
// TypeScript SDK client, plus raw lines and raw HTTP for what a hostile client sends:
// concurrent calls, cancellation, progress, chart images, skills as prompts, bounded
// lines and deep JSON over stdio, bearer auth, Origin and body bounds over HTTP.
// Prints "N passed, M failed".
//
// Environment: VELKO_BIN, the velko command to test. VELKO_TEST_PG_URL (optional), a
// PostgreSQL server for the pg_sleep cases (scripts/pg_test_server.sh start).
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";
import { StreamableHTTPClientTransport } from "@modelcontextprotocol/sdk/client/streamableHttp.js";
import { execFileSync, spawn, spawnSync } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import http from "node:http";
import { tmpdir } from "node:os";
import { join } from "node:path";

const velko = process.env.VELKO_BIN;
// Under AddressSanitizer the allocator keeps freed blocks in quarantine and pads the rest,
// so memory bounds get more room there (still far below the 100 MB a held line would cost).
const growthBoundMiB = process.env.VELKO_SANITIZED === "1" ? 80 : 48;
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
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const text = (result) => result.content?.[0]?.text ?? "";

const home = mkdtempSync(join(tmpdir(), "velko-mcp-transport-"));
const env = { ...process.env, HOME: home };
delete env.VELKO_MCP_TOKEN;
// A SQLite query that keeps the engine busy for seconds.
const SLOW_SQLITE = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 30000000) " +
  "SELECT count(*) AS n FROM c";
const TOKEN = "tok-" + Math.random().toString(36).slice(2) + "-secret";

function stdioClient(args = []) {
  const transport = new StdioClientTransport({ command: velko, args: ["mcp", ...args], env, stderr: "pipe" });
  const client = new Client({ name: "velko-transport-test", version: "1.0.0" });
  return { client, transport };
}

// Starts `velko mcp --http ...`; resolves with the process and its port once it listens.
function startHttp(args, extraEnv = {}) {
  const proc = spawn(velko, ["mcp", "--http", ...args], { env: { ...env, ...extraEnv }, stdio: ["ignore", "pipe", "pipe"] });
  let stderr = "";
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error("the HTTP server did not start: " + stderr)), 30000);
    proc.stderr.on("data", (chunk) => {
      stderr += chunk;
      const match = /http:\/\/[^ ]+:(\d+)\/mcp/.exec(stderr);
      if (match) {
        clearTimeout(timer);
        resolve({ proc, port: Number(match[1]), stderr: () => stderr });
      }
    });
    proc.on("exit", (code) => reject(new Error(`the HTTP server exited with ${code}: ${stderr}`)));
  });
}

function rawHttp(port, { method = "POST", path = "/mcp", headers = {}, body = "" } = {}) {
  return new Promise((resolve, reject) => {
    const req = http.request({ host: "127.0.0.1", port, method, path, headers }, (res) => {
      let data = "";
      res.on("data", (chunk) => (data += chunk));
      res.on("end", () => resolve({ status: res.statusCode, headers: res.headers, body: data }));
    });
    req.on("error", reject);
    req.end(body);
  });
}

const INIT = JSON.stringify({ jsonrpc: "2.0", id: 1, method: "initialize",
  params: { protocolVersion: "2025-06-18", capabilities: {}, clientInfo: { name: "raw", version: "1" } } });
const JSON_HEADERS = { "Content-Type": "application/json", Accept: "application/json, text/event-stream" };

// Tools, concurrency, progress, cancellation, prompts and charts through an SDK client.
async function exerciseClient(label, client) {
  const { tools } = await client.listTools();
  check(`${label}: tools/list offers execute_sql_query`, tools.some((tool) => tool.name === "execute_sql_query"));

  const counted = await client.callTool({ name: "execute_sql_query", arguments: { query: "SELECT COUNT(*) AS n FROM orders" } });
  check(`${label}: a query answers`, JSON.parse(text(counted)).rows?.[0]?.[0] === 4000, text(counted));
  check(`${label}: a JSON object result comes as structuredContent too`,
        JSON.stringify(counted.structuredContent) === JSON.stringify(JSON.parse(text(counted))),
        JSON.stringify(counted.structuredContent));

  // A ping sent after a long call answers first.
  const order = [];
  const slow = client.callTool({ name: "execute_sql_query", arguments: { query: SLOW_SQLITE } },
                               undefined, { timeout: 120000 }).then((result) => { order.push("slow"); return result; });
  await sleep(200);
  await client.ping().then(() => order.push("ping"));
  await client.listTools().then(() => order.push("tools/list"));
  const slowResult = await slow;
  check(`${label}: ping and tools/list answer while a long query runs`,
        order.join(",") === "ping,tools/list,slow", order.join(","));
  check(`${label}: the long query still answers`, !slowResult.isError, text(slowResult));

  // Progress while a call runs.
  const progress = [];
  await client.callTool({ name: "execute_sql_query", arguments: { query: SLOW_SQLITE } }, undefined,
                        { timeout: 120000, onprogress: (event) => progress.push(event) });
  check(`${label}: a call that takes seconds reports progress`, progress.length >= 1, JSON.stringify(progress));
  check(`${label}: progress increases`, progress.every((event, idx) => idx === 0 || event.progress > progress[idx - 1].progress),
        JSON.stringify(progress));

  // Cancellation: the client gives up; the server keeps serving.
  const controller = new AbortController();
  const cancelled = client.callTool({ name: "execute_sql_query", arguments: { query: SLOW_SQLITE } }, undefined,
                                    { signal: controller.signal, timeout: 120000 });
  await sleep(300);
  controller.abort("no longer needed");
  let abortError = null;
  try {
    await cancelled;
  } catch (error) {
    abortError = error;
  }
  check(`${label}: a cancelled call is abandoned`, abortError !== null);
  await client.ping();
  check(`${label}: the server serves after a cancellation`, true);

  // Skills as prompts.
  const { prompts } = await client.listPrompts();
  const names = prompts.map((prompt) => prompt.name);
  check(`${label}: prompts/list offers the shipped skills`, names.includes("sql-review") && names.includes("table-profiling"),
        JSON.stringify(names));
  check(`${label}: prompts carry descriptions`, prompts.every((prompt) => (prompt.description ?? "").length > 0));
  const prompt = await client.getPrompt({ name: "sql-review" });
  const skillMd = readFileSync(join(home, ".velko", "skills", "default", "sql-review", "SKILL.md"), "utf8");
  check(`${label}: prompts/get returns the SKILL.md as a user message`,
        prompt.messages?.[0]?.role === "user" && prompt.messages[0].content?.text === skillMd);
  let unknownPrompt = null;
  try {
    await client.getPrompt({ name: "no-such-skill" });
  } catch (error) {
    unknownPrompt = error;
  }
  check(`${label}: an unknown prompt is an error`, String(unknownPrompt).includes("Unknown prompt"), String(unknownPrompt));
  const instructions = client.getInstructions() ?? "";
  check(`${label}: the instructions are the system prompt`, instructions.includes("### Database Connection"));

  // Chart images.
  const chart = await client.callTool({ name: "generate_charts", arguments: { python_code:
    `import matplotlib\nmatplotlib.use('Agg')\nimport matplotlib.pyplot as plt\nplt.plot([1, 3, 2])\nplt.savefig('mcp_${label}.png')\n` } },
    undefined, { timeout: 120000 });
  if (text(chart).includes("ModuleNotFoundError") || text(chart).includes("No module named")) {
    console.error(`SKIP ${label}: chart images (no Python with the chart modules)`);
  } else {
    const listing = JSON.parse(text(chart));
    const image = chart.content?.[1];
    check(`${label}: generate_charts keeps its JSON text`, listing.charts?.length === 1 && !chart.isError, text(chart));
    check(`${label}: the chart comes as PNG image content`, image?.type === "image" && image?.mimeType === "image/png",
          JSON.stringify(image)?.slice(0, 200));
    const onDisk = listing.charts?.[0]?.path ? readFileSync(listing.charts[0].path) : Buffer.alloc(0);
    check(`${label}: the image decodes to the PNG on disk`,
          onDisk.length > 0 && Buffer.from(image?.data ?? "", "base64").equals(onDisk));
  }
}

// Raw lines over stdio: what no SDK client sends.
function rawStdio() {
  return new Promise((resolve) => {
    const proc = spawn(velko, ["mcp"], { env, stdio: ["pipe", "pipe", "pipe"] });
    let out = "";
    const waiters = [];
    proc.stdout.on("data", (chunk) => {
      out += chunk;
      for (const waiter of [...waiters]) waiter();
    });
    const lines = () => out.split("\n").filter((line) => line.length > 0).map((line) => JSON.parse(line));
    const waitLines = (count, ms = 60000) => new Promise((done) => {
      const timer = setTimeout(() => done(lines()), ms);
      const waiter = () => {
        if (lines().length >= count) {
          clearTimeout(timer);
          waiters.splice(waiters.indexOf(waiter), 1);
          done(lines());
        }
      };
      waiters.push(waiter);
      waiter();
    });
    const write = (data) => new Promise((done) => (proc.stdin.write(data) ? done() : proc.stdin.once("drain", done)));
    const exited = new Promise((done) => proc.on("exit", (code) => done(code)));
    resolve({ proc, write, waitLines, exited });
  });
}

function peakRssKiB(pid) {
  const status = readFileSync(`/proc/${pid}/status`, "utf8");
  return Number(/VmHWM:\s+(\d+)/.exec(status)?.[1] ?? 0);
}

async function stdioLimits() {
  const server = await rawStdio();
  const ping = (id) => JSON.stringify({ jsonrpc: "2.0", id, method: "ping" }) + "\n";
  await server.write(ping(1));
  await server.waitLines(1);
  const baseline = peakRssKiB(server.proc.pid);

  // A 100 MB line, written in 1 MiB pieces: refused without being held.
  const piece = "x".repeat(1 << 20);
  for (let idx = 0; idx < 100; idx += 1) await server.write(piece);
  await server.write("\n" + ping(2));
  let lines = await server.waitLines(3);
  check("stdio: a 100 MB line gets an error response", lines[1]?.error?.code === -32600 && lines[1]?.id === null,
        JSON.stringify(lines[1]));
  check("stdio: the server answers after a 100 MB line", lines[2]?.id === 2, JSON.stringify(lines[2]));
  const peak = peakRssKiB(server.proc.pid);
  check("stdio: a 100 MB line costs no more than the line bound", peak - baseline < growthBoundMiB * 1024,
        `peak ${peak} KiB, baseline ${baseline} KiB`);

  // A line just over 16 MiB is refused; one just under it is read.
  await server.write("y".repeat((16 << 20) + 1) + "\n" + ping(3));
  await server.write(" ".repeat((16 << 20) - 200) + ping(4));
  lines = await server.waitLines(6);
  check("stdio: a line of 16 MiB + 1 is refused", lines[3]?.error?.message?.includes("16777217 bytes"),
        JSON.stringify(lines[3]));
  check("stdio: a line under 16 MiB is served", lines[4]?.id === 3 && lines[5]?.id === 4, JSON.stringify(lines.slice(4)));

  // JSON nested 100,000 deep is a parse error, then serving goes on.
  const deep = '{"jsonrpc": "2.0", "id": 5, "method": "tools/call", "params": {"name": "list_schemas_tool", "arguments": ' +
               "[".repeat(100000) + "]".repeat(100000) + "}}\n";
  await server.write(deep + ping(6));
  lines = await server.waitLines(8);
  check("stdio: deep nesting is a parse error", lines[6]?.error?.code === -32700, JSON.stringify(lines[6]));
  check("stdio: the server answers after deep nesting", lines[7]?.id === 6, JSON.stringify(lines[7]));

  // Closing stdin with a call in flight: it is cancelled (no response) and the server exits.
  await server.write(JSON.stringify({ jsonrpc: "2.0", id: 7, method: "tools/call",
    params: { name: "execute_sql_query", arguments: { query: SLOW_SQLITE } } }) + "\n");
  await sleep(300);
  server.proc.stdin.end();
  const code = await server.exited;
  lines = await server.waitLines(9, 100);
  check("stdio: closing stdin ends the server", code === 0, String(code));
  check("stdio: a call cancelled by the end of input gets no response", !lines.some((line) => line.id === 7),
        JSON.stringify(lines.slice(8)));
}

async function httpAuthAndOrigin() {
  // Off loopback, a token is required.
  const refused = spawnSync(velko, ["mcp", "--http", "0.0.0.0:0"], { env, encoding: "utf8", timeout: 30000 });
  check("http: serving on 0.0.0.0 without a token is refused", refused.status === 2 && refused.stderr.includes("token"),
        `${refused.status} ${refused.stderr}`);
  const badPort = spawnSync(velko, ["mcp", "--http", "127.0.0.1:99999"], { env, encoding: "utf8", timeout: 30000 });
  check("http: a bad port is refused", badPort.status !== 0, `${badPort.status}`);

  const tokenFile = join(home, "token");
  writeFileSync(tokenFile, TOKEN + "\n", { mode: 0o600 });
  const { proc, port, stderr } = await startHttp(["127.0.0.1:0", "--token-file", tokenFile]);
  try {
    const health = await rawHttp(port, { method: "GET", path: "/healthz" });
    check("http: /healthz answers without a token", health.status === 200 && health.body === "ok", JSON.stringify(health));
    const missing = await rawHttp(port, { headers: JSON_HEADERS, body: INIT });
    check("http: no token is 401", missing.status === 401 && missing.headers["www-authenticate"] === "Bearer",
          JSON.stringify(missing));
    const wrong = await rawHttp(port, { headers: { ...JSON_HEADERS, Authorization: "Bearer wrong-" + TOKEN }, body: INIT });
    check("http: a wrong token is 401", wrong.status === 401, JSON.stringify(wrong));
    const prefix = await rawHttp(port, { headers: { ...JSON_HEADERS, Authorization: "Bearer " + TOKEN.slice(0, -1) }, body: INIT });
    check("http: a prefix of the token is 401", prefix.status === 401);
    const basic = await rawHttp(port, { headers: { ...JSON_HEADERS, Authorization: "Basic " + TOKEN }, body: INIT });
    check("http: another scheme is 401", basic.status === 401);
    const auth = { ...JSON_HEADERS, Authorization: "Bearer " + TOKEN };
    const evil = await rawHttp(port, { headers: { ...auth, Origin: "http://evil.example" }, body: INIT });
    check("http: a foreign Origin is 403", evil.status === 403, JSON.stringify(evil));
    const rebound = await rawHttp(port, { headers: { ...auth, Origin: "http://localhost.evil.example:8080" }, body: INIT });
    check("http: a look-alike Origin is 403", rebound.status === 403);
    const local = await rawHttp(port, { headers: { ...auth, Origin: `http://localhost:${port}` }, body: INIT });
    check("http: a loopback Origin is served", local.status === 200 && local.headers["mcp-session-id"]?.length === 32,
          JSON.stringify(local));
    const big = await rawHttp(port, { headers: auth, body: "x".repeat((16 << 20) + 10) }).catch((error) => ({ status: String(error) }));
    check("http: a body over 16 MiB is refused", big.status === 413, String(big.status));
    const noSession = await rawHttp(port, { headers: auth, body: JSON.stringify({ jsonrpc: "2.0", id: 2, method: "ping" }) });
    check("http: a request without a session is 400", noSession.status === 400, JSON.stringify(noSession));
    const forged = await rawHttp(port, { headers: { ...auth, "Mcp-Session-Id": "0".repeat(32) },
                                         body: JSON.stringify({ jsonrpc: "2.0", id: 2, method: "ping" }) });
    check("http: an unknown session is 404", forged.status === 404);
    const deep = await rawHttp(port, { headers: auth, body: "[".repeat(100000) + "]".repeat(100000) });
    check("http: deep JSON is a parse error", deep.status === 400 && JSON.parse(deep.body).error?.code === -32700, deep.body);
    const up = await rawHttp(port, { method: "GET", path: "/healthz" });
    check("http: the server is still up", up.status === 200);
    check("http: tokens never reach the log", !stderr().includes(TOKEN) && !stderr().includes("wrong-"), stderr());

    // The SDK client with the token, over Streamable HTTP.
    const transport = new StreamableHTTPClientTransport(new URL(`http://127.0.0.1:${port}/mcp`),
                                                        { requestInit: { headers: { Authorization: "Bearer " + TOKEN } } });
    const client = new Client({ name: "velko-transport-test", version: "1.0.0" });
    await client.connect(transport);
    check("http: the SDK client connects with the token", typeof transport.sessionId === "string");
    const second = new StreamableHTTPClientTransport(new URL(`http://127.0.0.1:${port}/mcp`),
                                                     { requestInit: { headers: { Authorization: "Bearer " + TOKEN } } });
    const other = new Client({ name: "velko-transport-test-2", version: "1.0.0" });
    await other.connect(second);
    check("http: each client gets its own session", second.sessionId !== transport.sessionId);
    await exerciseClient("http", client);
    const sessionId = transport.sessionId;
    await transport.terminateSession();
    const ended = await rawHttp(port, { headers: { ...auth, "Mcp-Session-Id": sessionId },
                                        body: JSON.stringify({ jsonrpc: "2.0", id: 9, method: "ping" }) });
    check("http: DELETE ends the session", ended.status === 404, JSON.stringify(ended));
    await other.ping();
    check("http: ending one session leaves the others", true);
    await other.close();
    await client.close().catch(() => {});
  } finally {
    proc.kill("SIGTERM");
    await new Promise((done) => (proc.exitCode !== null ? done() : proc.on("exit", done)));
  }
  check("http: SIGTERM ends the server cleanly", proc.exitCode === 0 || proc.signalCode === null, `${proc.exitCode}`);
}

// pg_sleep against the PostgreSQL test server, over each transport: a ping overtakes it,
// and a cancelled call leaves nothing running on the server.
async function pgExercise(label, client) {
  const order = [];
  const sleeping = client.callTool({ name: "execute_sql_query", arguments: { query: "SELECT pg_sleep(5) AS slept" } },
                                   undefined, { timeout: 60000 }).then((result) => { order.push("pg_sleep"); return result; });
  await sleep(300);
  await client.ping().then(() => order.push("ping"));
  const slept = await sleeping;
  check(`postgres ${label}: a ping sent after pg_sleep(5) answers first`, order.join(",") === "ping,pg_sleep", order.join(","));
  check(`postgres ${label}: pg_sleep(5) answers`, !slept.isError, text(slept));

  // Cancellation reaches the server: the query leaves pg_stat_activity.
  const marker = `velko_mcp_cancel_${label}_${Date.now()}`;
  const controller = new AbortController();
  const cancelled = client.callTool({ name: "execute_sql_query",
                                      arguments: { query: `SELECT pg_sleep(30) AS ${marker}` } },
                                    undefined, { signal: controller.signal, timeout: 60000 }).catch(() => null);
  const running = async () => {
    const result = await client.callTool({ name: "execute_sql_query", arguments: { query:
      `SELECT count(*) AS n FROM pg_stat_activity WHERE query LIKE '%${marker}%' AND query NOT LIKE '%pg_stat_activity%'` } });
    return JSON.parse(text(result)).rows?.[0]?.[0];
  };
  let seen = 0;
  for (let attempt = 0; attempt < 20 && seen === 0; attempt += 1) {
    await sleep(100);
    seen = await running();
  }
  check(`postgres ${label}: the long query shows in pg_stat_activity`, seen === 1, String(seen));
  controller.abort("no longer needed");
  await cancelled;
  let left = seen;
  const deadline = Date.now() + 5000;
  while (left !== 0 && Date.now() < deadline) {
    await sleep(200);
    left = await running();
  }
  check(`postgres ${label}: a cancelled call's query is gone from pg_stat_activity within 5 s`, left === 0, String(left));
}

async function postgres() {
  const url = process.env.VELKO_TEST_PG_URL;
  if (!url) {
    console.error("SKIP postgres: VELKO_TEST_PG_URL is not set");
    return;
  }
  const parsed = new URL(url);
  const pgHome = mkdtempSync(join(tmpdir(), "velko-mcp-pg-"));
  const pgEnv = { ...env, HOME: pgHome };
  try {
    execFileSync(velko, ["connections", "add", "pg", "--type", "POSTGRES", "--host", parsed.hostname, "--port", parsed.port,
                         "--username", decodeURIComponent(parsed.username), "--database", parsed.pathname.slice(1),
                         "--password-stdin", "--default"],
                 { env: pgEnv, input: decodeURIComponent(parsed.password), stdio: ["pipe", "ignore", "inherit"] });
    const transport = new StdioClientTransport({ command: velko, args: ["mcp"], env: pgEnv, stderr: "pipe" });
    const client = new Client({ name: "velko-pg-test", version: "1.0.0" });
    await client.connect(transport);
    await pgExercise("stdio", client);
    await client.close();

    const { proc, port } = await startHttp(["127.0.0.1:0"], { HOME: pgHome });
    try {
      const httpClient = new Client({ name: "velko-pg-test-http", version: "1.0.0" });
      await httpClient.connect(new StreamableHTTPClientTransport(new URL(`http://127.0.0.1:${port}/mcp`)));
      await pgExercise("http", httpClient);
      await httpClient.close();
    } finally {
      proc.kill("SIGTERM");
      await new Promise((done) => (proc.exitCode !== null ? done() : proc.on("exit", done)));
    }
  } finally {
    rmSync(pgHome, { recursive: true, force: true });
  }
}

try {
  execFileSync(velko, ["demo", "--skip-chart"], { env, stdio: "ignore" });
  const which = process.argv[2] ?? "all";
  if (which === "all" || which === "stdio") {
    const { client, transport } = stdioClient(["--workers", "4"]);
    await client.connect(transport);
    await exerciseClient("stdio", client);
    await client.close();
    await stdioLimits();
  }
  if (which === "all" || which === "http") await httpAuthAndOrigin();
  if (which === "all" || which === "postgres") await postgres();
} catch (error) {
  failed += 1;
  console.error(`FAIL unexpected error: ${error?.stack ?? error}`);
} finally {
  rmSync(home, { recursive: true, force: true });
}
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
