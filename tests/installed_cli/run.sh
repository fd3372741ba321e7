#!/usr/bin/env bash
# The installed velko command as a user runs it: installs the build into a temporary
# prefix and runs <prefix>/bin/velko with a fresh HOME, no credentials and only local
# services (a stub HTTP server on 127.0.0.1 stands in for the web application, Chroma and
# the embeddings service). Every check prints "FAIL <what>" with the evidence when it does
# not hold; the script ends with "N checks passed, M failed" and exits 1 on any failure.
# Cases that need something the machine lacks (bubblewrap, node) say "SKIP <why>".
#
#   tests/installed_cli/run.sh BUILD_DIR
set -uo pipefail
build_dir=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)

# The interpreter for the stub server and JSON checks, found before HOME changes (a
# version manager's shims may depend on it).
python=$(python3 -c 'import sys; print(sys.executable)' 2>/dev/null) || {
  echo "FAIL python3 is needed to run this test"
  exit 1
}

work=$(mktemp -d)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

prefix=$work/prefix
if ! cmake --install "$build_dir" --prefix "$prefix" >"$work/install.log" 2>&1; then
  echo "FAIL cmake --install"
  cat "$work/install.log"
  exit 1
fi
velko=$prefix/bin/velko
plugins=$prefix/lib/velko/plugins

# A user's shell: a fresh home, nothing of this machine's velko settings or credentials.
export HOME=$work/home
mkdir -p "$HOME"
unset VELKO_PLUGIN_PATH VELKO_ACCESS_TOKEN VELKO_APP_URL VELKO_PYTHON VELKO_SANDBOX_ROOT LD_LIBRARY_PATH \
  TAVILY_API_KEY TAVILY_BASE_URL CHROMA_TENANT CHROMA_DATABASE CHROMA_API_KEY CHROMA_URL OPENAI_API_KEY \
  OPENAI_BASE_URL AIRFLOW_API_URL AWS_ACCESS_KEY_ID AWS_SECRET_ACCESS_KEY AWS_PROFILE VELKO_MODEL ANTHROPIC_API_KEY \
  ANTHROPIC_BASE_URL VELKO_MODEL_TIMEOUT
cd "$work"

passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() {
  failed=$((failed + 1))
  echo "FAIL $1"
  [ $# -gt 1 ] && printf '%s\n' "$2" | head -c 3000 && echo
}

# run ARGS... : runs the installed command; its output in $out, errors in $err, status in $status.
run() {
  "$velko" "$@" >"$work/out" 2>"$work/err" </dev/null
  status=$?
  out=$(cat "$work/out")
  err=$(cat "$work/err")
}
# run_in INPUT ARGS... : the same with INPUT on standard input.
run_in() {
  local input=$1
  shift
  printf '%s' "$input" | "$velko" "$@" >"$work/out" 2>"$work/err"
  status=$?
  out=$(cat "$work/out")
  err=$(cat "$work/err")
}
expect_status() {  # expect_status WANT WHAT
  if [ "$status" -eq "$1" ]; then pass; else fail "$2: exit status $status, wanted $1" "stdout: $out
stderr: $err"; fi
}
expect_out() {  # expect_out TEXT WHAT: stdout is exactly TEXT
  if [ "$out" == "$1" ]; then pass; else fail "$2: stdout differs" "wanted: $1
got:    $out"; fi
}
expect_in() {  # expect_in HAYSTACK NEEDLE WHAT
  if [[ "$1" == *"$2"* ]]; then pass; else fail "$3: no '$2'" "$1"; fi
}
expect_not_in() {  # expect_not_in HAYSTACK NEEDLE WHAT
  if [[ "$1" != *"$2"* ]]; then pass; else fail "$3: unexpected '$2'" "$1"; fi
}
# expect_json EXPRESSION WHAT: the Python expression, over `doc` (stdout parsed as JSON), is true.
expect_json() {
  if printf '%s' "$out" | "$python" -c "import json, sys
doc = json.load(sys.stdin)
sys.exit(0 if ($1) else 1)" 2>"$work/json_err"; then
    pass
  else
    fail "$2: $1" "stdout: $out
$(cat "$work/json_err")"
  fi
}

# --- the installation itself ----------------------------------------------------------
[ -x "$velko" ] && pass || fail "no executable $velko"
for name in analyst skills airflow aws scout chromadb defaults; do
  [ -f "$plugins/velko_$name.so" ] && pass || fail "plug-in velko_$name.so not installed"
done
unresolved=$(ldd "$velko" | grep -E 'libvelko_' | grep -v -F "$prefix/" || true)
[ -z "$unresolved" ] && pass || fail "velko takes velko libraries from outside the prefix" "$unresolved"

# --- version and help -------------------------------------------------------------------
project_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
run --version
expect_status 0 "velko --version"
expect_out "velko ${project_version:-0.1.0}" "velko --version"

subcommands=(ask cap-sql chat connections demo docs exec mcp prompt search subagents tool)
run --help
expect_status 0 "velko --help"
for sub in "${subcommands[@]}"; do expect_in "$out" "  $sub " "velko --help lists $sub"; done
for sub in "${subcommands[@]}"; do
  run "$sub" --help
  expect_status 0 "velko $sub --help"
  expect_in "$out" "velko $sub" "velko $sub --help shows its usage"
done
run no-such-command
[ "$status" -ne 0 ] && pass || fail "an unknown subcommand exits 0"

# --- the demo on the embedded warehouse ------------------------------------------------
warehouse=$HOME/.velko/demo/warehouse.db
run demo
expect_status 0 "velko demo"
demo_out=$out
expect_in "$demo_out" "Sample warehouse: $warehouse (" "demo names its warehouse"
expect_in "$demo_out" "registered local connection 'velko-demo' as the default" "demo registers its connection"
expect_in "$demo_out" "== System prompt the model receives" "demo prints the system prompt"
expect_in "$demo_out" "You are connected to a **SQLITE** database" "the prompt holds the database block"
expect_in "$demo_out" "## Skills" "the prompt holds the skills section"
for call in "1: list_schemas_tool" "2: list_tables_tool" "3: get_table_columns_tool" "4: execute_sql_query" \
  "5: execute_sql_query" "6: generate_charts"; do
  expect_in "$demo_out" "== Tool call $call" "demo plays tool call $call"
done
expect_in "$demo_out" '{"schemas": ["main"]}' "demo lists the main schema"
expect_in "$demo_out" '"order_items"' "demo lists the order_items table"
expect_not_in "$demo_out" "Error executing query" "demo queries succeed"
[ -f "$warehouse" ] && pass || fail "no warehouse file at $warehouse"
# The chart: drawn when a Python on PATH can import the chart modules (the command
# tries each PATH entry the same way), otherwise the demo says why there is none.
chart_python_available() {
  local IFS=: dir exe
  for dir in $PATH; do
    for exe in "$dir/python3" "$dir/python"; do
      [ -x "$exe" ] && "$exe" -c 'import pandas, matplotlib, seaborn, sqlalchemy' >/dev/null 2>&1 && return 0
    done
  done
  return 1
}
if chart_python_available; then
  chart=$(printf '%s\n' "$demo_out" | sed -n 's/^Chart saved: //p')
  if [ -n "$chart" ] && [ -s "$chart" ]; then pass; else fail "demo drew no chart though a Python can" "$demo_out"; fi
  [[ "$chart" == "$HOME/.velko/charts/"*.png ]] && pass || fail "chart outside ~/.velko/charts: $chart"
else
  expect_in "$demo_out" "No chart was drawn: " "demo explains the missing chart"
  echo "SKIP chart file check: no Python on PATH with pandas, matplotlib, seaborn and sqlalchemy"
fi

# --- connections and tools on the demo connection --------------------------------------
run connections list
expect_status 0 "velko connections list"
expect_out "* velko-demo  SQLITE  database=$warehouse" "velko connections list"

run tool list_schemas_tool --args '{}'
expect_status 0 "velko tool list_schemas_tool"
expect_out '{"schemas": ["main"]}' "velko tool list_schemas_tool"
run tool list_tables_tool --args '{"db_schema": "main"}'
expect_status 0 "velko tool list_tables_tool"
expect_json 'set(doc["tables"]) >= {"customers", "order_items", "orders", "payments", "products", "regions"}' \
  "list_tables_tool lists the demo tables"
run tool get_table_columns_tool --args '{"db_schema": "main", "table_names": "orders"}'
expect_status 0 "velko tool get_table_columns_tool"
expect_json 'doc[0]["table"] == "main.orders" and any(c["name"] == "order_id" for c in doc[0]["columns"])' \
  "get_table_columns_tool describes orders"
run tool execute_sql_query --args '{"query": "SELECT COUNT(*) AS n FROM orders"}'
expect_status 0 "velko tool execute_sql_query"
expect_out '{"headers": ["n"], "rows": [[4000]]}' "execute_sql_query counts the demo orders"
run tool execute_sql_query --args '{"query": "SELECT * FROM orders"}'
expect_json 'len(doc["rows"]) == 50' "execute_sql_query caps at 50 rows"
run tool execute_sql_query --args '{"query": "DELETE FROM orders"}'
expect_status 0 "a refused write is still the tool's answer"
expect_in "$out" "Error executing query: " "a write is refused"
run tool execute_sql_query --args '{not json'
expect_status 2 "arguments that are not JSON"

# --- prompt, cap-sql, subagents ----------------------------------------------------------
run prompt
expect_status 0 "velko prompt"
expect_in "$out" "You are connected to a **SQLITE** database ($warehouse)" "velko prompt names the demo warehouse"
expect_in "$out" "**sql-review**" "velko prompt lists a shipped skill"
[ -f "$HOME/.velko/skills/default/sql-review/SKILL.md" ] && pass || fail "shipped skills not copied to ~/.velko/skills/default"

run_in "SELECT * FROM orders" cap-sql --dialect postgres
expect_status 0 "velko cap-sql"
expect_out "SELECT * FROM orders LIMIT 50" "velko cap-sql adds the cap"
run_in "SELECT * FROM orders LIMIT 500" cap-sql --dialect postgres --limit 10
expect_out "SELECT * FROM orders LIMIT 10" "velko cap-sql lowers a larger limit"

run subagents --mode kubernetes
expect_status 0 "velko subagents --mode kubernetes"
expect_json '[a["name"] for a in doc] == ["explore-agent"]' "kubernetes mode has the exploration sub-agent only"
run subagents --mode cli --access-token T
expect_status 0 "velko subagents --mode cli --access-token T"
expect_json '[a["name"] for a in doc] == ["explore-agent", "research-agent", "docs-agent"]' \
  "cli mode with a token has research and docs sub-agents"
expect_json '"web_search" in doc[1]["tools"] and "search_docs" in doc[2]["tools"]' "the sub-agents name their tools"
expect_not_in "$out" '"T"' "the access token is not printed"
run subagents --mode cli
expect_json 'len(doc) == 1' "cli mode without a token has one sub-agent"

# --- search and docs against the local stub server -------------------------------------
"$python" "$here/stub_server.py" "$work/port" "$work/requests.log" &
server_pid=$!
for _ in $(seq 1 100); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port" 2>/dev/null)
if [ -z "$port" ]; then
  fail "the stub server did not start"
else
  base=http://127.0.0.1:$port
  run search web "dbt snapshots" --base-url "$base" --access-token tok-5 --max-results 2
  expect_status 0 "velko search web"
  expect_json 'doc["results"][0]["url"] == "https://docs.example/snap"' "search web prints the proxy's results"
  run search answer "What is dlt?" --base-url "$base" --access-token tok-5
  expect_out "dlt is a data load tool" "search answer prints the answer"
  expect_in "$(cat "$work/requests.log")" '"path": "/api/tavily/web", "authorization": "Bearer tok-5"' \
    "search sends the token to the proxy"
  expect_in "$(cat "$work/requests.log")" '\"max_results\": 2' "search sends --max-results"
  VELKO_APP_URL=$base run search answer q
  expect_status 1 "velko search without a token"
  expect_in "$err" "no access token: pass --access-token or set VELKO_ACCESS_TOKEN" "search explains the missing token"

  docs_env=(CHROMA_TENANT=t CHROMA_DATABASE=d CHROMA_API_KEY=ck-5 OPENAI_API_KEY=sk-5 CHROMA_URL="$base"
    OPENAI_BASE_URL="$base/v1")
  env "${docs_env[@]}" "$velko" docs search "snapshots" --collection dbt_docs --n-results 1 >"$work/out" 2>"$work/err"
  status=$?
  out=$(cat "$work/out")
  err=$(cat "$work/err")
  expect_status 0 "velko docs search"
  expect_json 'doc["collection"] == "dbt_docs" and doc["results"][0]["source"] == "docs/snapshots.md"
and abs(doc["results"][0]["relevance_score"] - 0.75) < 1e-9' "docs search prints the hits"
  expect_in "$(cat "$work/requests.log")" '"chroma_token": "ck-5"' "docs search sends the Chroma key"
  expect_not_in "$out$err" "sk-5" "the embeddings key is not printed"
  env "${docs_env[@]}" "$velko" docs search q --collection no_such >"$work/out" 2>"$work/err"
  status=$?
  out=$(cat "$work/out")
  expect_status 1 "velko docs search of an unknown collection"
  expect_json '"error" in doc and doc["results"] == []' "an unknown collection is an error mapping"
  kill "$server_pid" 2>/dev/null
  wait "$server_pid" 2>/dev/null
  server_pid=
  # The server is gone: the same port now refuses connections.
  run search web q --base-url "$base" --access-token tok-5 --timeout 5
  expect_status 1 "velko search with the service down"
  expect_in "$err" "velko: Connection failed: " "search reports the failed connection"
  expect_not_in "$err" "tok-5" "the token is not in the error"
fi
run docs list
expect_status 1 "velko docs list without credentials"
expect_in "$err" "ChromaDB credentials not fully configured" "docs explains the missing credentials"

# --- the local sandbox -------------------------------------------------------------------
if bwrap --ro-bind / / --proc /proc --dev /dev true 2>/dev/null; then
  VELKO_SANDBOX_ROOT=$work/sandboxes run exec --backend local --id X -- echo hi
  expect_status 0 "velko exec --backend local"
  expect_out "hi
exit code: 0" "velko exec prints the output and the exit code"
  VELKO_SANDBOX_ROOT=$work/sandboxes run exec --backend local --id X -- 'echo oops >&2; exit 3'
  expect_status 0 "velko exec of a failing command"
  expect_in "$out" "exit code: 3" "velko exec reports the command's exit code"
else
  echo "SKIP velko exec --backend local: bubblewrap cannot run here"
fi

# --- web mode through --services ----------------------------------------------------------
services=$work/services
mkdir -p "$services"
printf '{"db-7": {"type": "SQLITE", "database": "%s"}}' "$warehouse" >"$services/databases.json"
run --services "$services" tool execute_sql_query --mode web --connection-id db-7 \
  --args '{"query": "SELECT COUNT(*) AS n FROM regions"}'
expect_status 0 "velko tool in web mode"
expect_json 'doc["headers"] == ["n"] and doc["rows"][0][0] > 0' "web mode queries the configured database"
run --services "$services" tool list_schemas_tool --mode web --connection-id nope
expect_in "$out" "Error" "web mode with an unknown connection is an error text"
run --services "$services" subagents --mode web
expect_status 0 "velko subagents --mode web without service keys"
expect_json '[a["name"] for a in doc] == ["explore-agent"]' "web mode without keys keeps the exploration sub-agent"
expect_in "$err" "Direct clients unavailable for web mode: " "web mode logs why the clients are unavailable"

# --- an MCP session with the official SDK client ------------------------------------------
if command -v node >/dev/null && [ -d "$source_dir/tests/mcp/node_modules/@modelcontextprotocol" ]; then
  mcp_out=$(VELKO_BIN=$velko node "$source_dir/tests/mcp/client_test.mjs" 2>&1)
  mcp_status=$?
  if [ "$mcp_status" -eq 0 ] && [[ "$mcp_out" == *" passed, 0 failed"* ]]; then pass; else
    fail "MCP session against the installed command (status $mcp_status)" "$mcp_out"
  fi
else
  echo "SKIP MCP session: node or tests/mcp/node_modules missing (npm ci in tests/mcp)"
fi

# --- missing and broken plug-ins ----------------------------------------------------------
mkdir -p "$work/aside"
mv "$plugins/velko_analyst.so" "$work/aside/"
run prompt
expect_status 1 "velko prompt without the analyst plug-in"
expect_in "$err" "velko: Plug-in 'analyst' not found (searched: " "a missing plug-in is named"
expect_in "$err" "$plugins" "the error lists the directories searched"
mv "$work/aside/velko_analyst.so" "$plugins/"

mkdir -p "$work/broken"
printf 'not a shared object\n' >"$work/broken/velko_analyst.so"
VELKO_PLUGIN_PATH=$work/broken run tool list_schemas_tool
expect_status 1 "velko tool with a broken analyst plug-in first on VELKO_PLUGIN_PATH"
expect_in "$err" "Plug-in 'analyst' could not be loaded from $work/broken/velko_analyst.so" \
  "a broken plug-in is named with its file"
expect_out "" "nothing on stdout when the plug-in is broken"

# The search clients are loaded only when a sub-agent needs them.
mv "$plugins/velko_scout.so" "$plugins/velko_chromadb.so" "$work/aside/"
run subagents --mode kubernetes
expect_status 0 "velko subagents --mode kubernetes without the client plug-ins"
run subagents --mode cli --access-token T
expect_status 1 "velko subagents --mode cli without the scout plug-in"
expect_in "$err" "Plug-in 'scout' not found" "the missing scout plug-in is named"
TAVILY_API_KEY=tvly-5 run subagents --mode web
expect_status 1 "velko subagents --mode web without the chromadb plug-in"
expect_in "$err" "Plug-in 'chromadb' not found" "the missing chromadb plug-in is named"
expect_not_in "$err" "Direct clients unavailable" "a missing plug-in is not taken for missing keys"
mv "$work/aside/velko_scout.so" "$work/aside/velko_chromadb.so" "$plugins/"
run subagents --mode cli --access-token T
expect_status 0 "velko subagents works again with the plug-ins back"

# --- velko ask against a local OpenAI-compatible model API ----------------------------------
"$python" "$here/stub_server.py" "$work/model_port" "$work/model_requests.log" &
server_pid=$!
for _ in $(seq 1 100); do [ -s "$work/model_port" ] && break; sleep 0.1; done
model_port=$(cat "$work/model_port" 2>/dev/null)
if [ -z "$model_port" ]; then
  fail "the model API fake did not start"
else
  model_env=(OPENAI_BASE_URL="http://127.0.0.1:$model_port/v1" OPENAI_API_KEY=sk-installed-5 VELKO_MODEL=openai:fake-model)
  env "${model_env[@]}" "$velko" ask "Which tables are there?" >"$work/out" 2>"$work/err" </dev/null
  status=$?
  out=$(cat "$work/out")
  err=$(cat "$work/err")
  expect_status 0 "velko ask"
  expect_in "$out" '[tool] list_tables_tool {"db_schema": "main"}' "velko ask shows the tool call"
  expect_in "$out" "[tool] list_tables_tool done in " "velko ask shows the tool's end"
  expect_in "$out" "The demo warehouse has 7 tables, orders among them." "velko ask prints the streamed answer"
  expect_in "$out" "[usage] 100 input tokens, 10 output tokens in 2 model calls" "velko ask prints the usage"
  expect_not_in "$out$err" "sk-installed-5" "the API key is not printed"
  requests_log=$(cat "$work/model_requests.log")
  expect_in "$requests_log" '"authorization": "Bearer sk-installed-5"' "velko ask sends the key to the API"
  if "$python" -c "import json, sys
first = json.loads(json.loads(open(sys.argv[1]).readline())['body'])
system = first['messages'][0]['content']
sys.exit(0 if 'You are connected to a **SQLITE** database' in system and '## Skills' in system
         and first['stream'] is True else 1)" "$work/model_requests.log"; then pass; else
    fail "the model's system prompt lacks the database block or the skills section" "$requests_log"
  fi
  session_file=$(ls -t "$HOME/.velko/sessions/"*.jsonl 2>/dev/null | head -1)
  if [ -n "$session_file" ] && [ "$(stat -c %a "$session_file")" = 600 ]; then pass; else
    fail "velko ask saved no private session log" "$(ls -l "$HOME/.velko/sessions" 2>&1)"
  fi
  expect_not_in "$(cat "$session_file" 2>/dev/null)" "sk-installed-5" "the session log holds no key"
  env "${model_env[@]}" "$velko" ask "q" --json >"$work/out" 2>"$work/err" </dev/null
  status=$?
  out=$(cat "$work/out")
  expect_status 0 "velko ask --json"
  expect_in "$out" '"type": "turn_end", "stop_reason": "done"' "velko ask --json ends with turn_end"
  kill "$server_pid" 2>/dev/null
  wait "$server_pid" 2>/dev/null
  server_pid=
  env "${model_env[@]}" "$velko" ask "q" >"$work/out" 2>"$work/err" </dev/null
  status=$?
  err=$(cat "$work/err")
  expect_status 1 "velko ask with the model API down"
  expect_in "$err" "velko: Connection failed: " "velko ask reports the failed connection"
fi
run ask "q"
expect_status 1 "velko ask without a model"
expect_in "$err" "No model chosen: pass --model PROVIDER:NAME or set VELKO_MODEL" "velko ask explains the missing model"

echo "$passed checks passed, $failed failed"
[ "$failed" -eq 0 ]
