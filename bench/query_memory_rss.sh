#!/usr/bin/env bash
# Peak memory of one `velko tool execute_sql_query` call whatever the statement.
#
#   bench/query_memory_rss.sh [BUILD_DIR]      (default: build-test)
#
# Starts a throwaway PostgreSQL server (scripts/pg_test_server.sh), registers it as the
# default connection in a temporary HOME, and prints the peak resident set size
# (/usr/bin/time -v, "Maximum resident set size") of the command for:
#   capped      SELECT x FROM ties ORDER BY x                     (the cap adds LIMIT 50)
#   with ties   ... FETCH FIRST 1 ROW WITH TIES over a million tied rows
#   long values 50 rows of one 20 MB text value each
# The statement text of the first two differs only in its limit, so their difference is
# what reading the result costs.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build-test}"
velko="$build/app/velko"
[[ -x "$velko" ]] || { echo "no velko command at $velko (build the 'velko' target)" >&2; exit 1; }
[[ -x /usr/bin/time ]] || { echo "/usr/bin/time is missing (apt-get install time)" >&2; exit 1; }

home="$(mktemp -d)"
eval "$("$here/scripts/pg_test_server.sh" start)"
cleanup() { "$here/scripts/pg_test_server.sh" stop "$VELKO_TEST_PG_DIR" >/dev/null 2>&1 || true; rm -rf "$home"; }
trap cleanup EXIT

psql -X -q "$VELKO_TEST_PG_ADMIN_URL" -c "DROP TABLE IF EXISTS ties; CREATE TABLE ties AS SELECT 1 AS x, \
  md5(g::text) AS pad FROM generate_series(1, 1000000) g; GRANT SELECT ON ties TO PUBLIC; ANALYZE ties;"

url="${VELKO_TEST_PG_URL#postgresql+psycopg://}"
user="${url%%:*}"; rest="${url#*:}"; password_encoded="${rest%%@*}"; rest="${rest#*@}"
host="${rest%%:*}"; rest="${rest#*:}"; port="${rest%%/*}"; database="${rest#*/}"
password="$(python3 -c 'import sys, urllib.parse; print(urllib.parse.unquote(sys.argv[1]), end="")' "$password_encoded")"
printf '%s' "$password" | HOME="$home" "$velko" connections add bench --type POSTGRES --host "$host" \
  --port "$port" --username "$user" --database "$database" --password-stdin --default >/dev/null

measure() {
  local name="$1" query="$2" report
  report="$(HOME="$home" /usr/bin/time -v "$velko" tool execute_sql_query \
    --args "{\"query\": \"$query\"}" 2>&1 >"$home/answer.json")"
  local kb bytes
  kb="$(grep 'Maximum resident set size' <<<"$report" | awk '{print $NF}')"
  bytes="$(wc -c <"$home/answer.json")"
  printf '%-12s peak RSS %7.1f MB   answer %8d bytes\n' "$name" "$(awk "BEGIN {print $kb / 1024}")" "$bytes"
}

measure "capped" "SELECT x, pad FROM ties ORDER BY x"
measure "with ties" "SELECT x, pad FROM ties ORDER BY x FETCH FIRST 1 ROW WITH TIES"
measure "long values" "SELECT i, repeat('v', 20000000) AS v FROM generate_series(1, 50) AS i"
