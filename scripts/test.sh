#!/usr/bin/env bash
# Runs the whole test suite on a fresh machine: installs what is missing, builds with
# warnings as errors, starts a throwaway PostgreSQL server, runs every test (unit,
# integration, end to end, the installed-package consumer), then repeats the unit and
# integration tests under AddressSanitizer + UndefinedBehaviorSanitizer.
#
#   scripts/test.sh              everything
#   VELKO_SKIP_ASAN=1 scripts/test.sh   skip the sanitizer pass (faster, local use)
#   VELKO_SKIP_SLOW=1 scripts/test.sh   skip tests labelled "slow"
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/setup.sh --deps
if [ -f tests/mcp/package.json ] && [ ! -d tests/mcp/node_modules ]; then
  (cd tests/mcp && npm ci --no-audit --no-fund --loglevel=error)
fi

build() {  # build DIR [cmake options...]
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKO_WERROR=ON "$@" >/dev/null
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

echo "== build (warnings are errors)"
build build
echo "== tests"
ctest --test-dir build "${ctest_args[@]}"

if [ "${VELKO_SKIP_ASAN:-0}" != 1 ]; then
  echo "== build with AddressSanitizer + UndefinedBehaviorSanitizer"
  build build-asan -DVELKO_SANITIZE=ON -DVELKO_BUILD_BENCH=OFF
  echo "== tests under the sanitizers"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan "${ctest_args[@]}" -LE "slow|nosan"
fi
echo "== all tests passed"
