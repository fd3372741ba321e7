#!/usr/bin/env bash
# Runs the whole test suite on a fresh machine: installs what is missing, checks the C++
# layout against .clang-format, builds with warnings as errors into build-test/, starts a
# throwaway PostgreSQL server and runs every test (unit, integration, end to end, the MCP
# session with the official client, the installed-package consumer, the fuzz corpora).
#
#   scripts/test.sh                   everything
#   VELKO_ASAN=1 scripts/test.sh      then again under AddressSanitizer + UndefinedBehaviorSanitizer
#   VELKO_SKIP_SLOW=1 scripts/test.sh skip tests labelled "slow"
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/setup.sh --deps
if [ -f tests/mcp/package.json ] && [ ! -d tests/mcp/node_modules ]; then
  (cd tests/mcp && npm ci --no-audit --no-fund --loglevel=error)
fi

build() {  # build DIR [cmake options...]: unoptimised, so a 2-core machine builds it quickly
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O0 -DVELKO_WERROR=ON \
    -DVELKO_BUILD_BENCH=OFF "$@" >/dev/null
  cmake --build "$dir"
}

pg_started=0
cleanup() {
  if [ "$pg_started" = 1 ]; then scripts/pg_test_server.sh stop || true; fi
}
trap cleanup EXIT
if [ -x scripts/pg_test_server.sh ]; then
  eval "$(scripts/pg_test_server.sh start)"
  pg_started=1
fi

ctest_args=(--output-on-failure -j2 --timeout 900)
[ "${VELKO_SKIP_SLOW:-0}" = 1 ] && ctest_args+=(-LE slow)

echo "== format (clang-format, .clang-format)"
# Lists the C++ files whose layout differs from what clang-format makes of them.
unformatted=()
while IFS= read -r file; do
  clang-format-14 --dry-run -Werror "$file" >/dev/null 2>&1 || unformatted+=("$file")
done < <(git ls-files '*.cc' '*.h' | grep -v '^third_party/')
if [ "${#unformatted[@]}" -gt 0 ]; then
  printf 'not formatted (run clang-format-14 -i on them): %s\n' "${unformatted[@]}" >&2
  exit 1
fi
echo "== build (warnings are errors)"
build build-test
echo "== tests"
ctest --test-dir build-test "${ctest_args[@]}"

if [ "${VELKO_ASAN:-0}" = 1 ]; then
  echo "== build with AddressSanitizer + UndefinedBehaviorSanitizer"
  build build-asan -DVELKO_SANITIZE=ON
  echo "== tests under the sanitizers"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan "${ctest_args[@]}" -LE "slow|nosan"
fi
echo "== all tests passed"
