#!/usr/bin/env bash
# Installs the built project into a temporary prefix, builds the consumer against it with
# find_package(velko), runs it with a fresh HOME holding one SQLite connection, and
# checks what it prints.
set -euo pipefail
build_dir=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
cmake -S "$here" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/build" >/dev/null
mkdir -p "$work/home/.velko"
printf '{"default_connection": "local", "connections": {"local": {"type": "SQLITE", "database": "/tmp/w.db"}}}' \
  > "$work/home/.velko/config.json"
out=$(HOME="$work/home" "$work/build/consumer")
expected_first="sqlite:////tmp/w.db"
[ "$(printf '%s\n' "$out" | head -n 1)" = "$expected_first" ] || { echo "unexpected URL line: $out"; exit 1; }
printf '%s\n' "$out" | grep -qx execute_sql_query || { echo "no execute_sql_query tool: $out"; exit 1; }
printf '%s\n' "$out" | grep -q '^You are connected to a \*\*SQLITE\*\* database (/tmp/w.db).$' \
  || { echo "no database block: $out"; exit 1; }
[ -x "$work/prefix/bin/velko" ] || { echo "velko command not installed"; exit 1; }
echo "consumer built against the installed package and ran"
