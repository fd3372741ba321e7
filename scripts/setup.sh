#!/usr/bin/env bash
# Installs what the project needs (Debian packages, only those missing) and
# configures and builds it into build/.
#
#   scripts/setup.sh            install packages, configure, build
#   scripts/setup.sh --deps     install packages only
#
# Environment: BUILD_DIR (default build), BUILD_TYPE (default RelWithDebInfo),
# VELKO_SANITIZE=ON for an AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  cmake ninja-build g++ pkg-config git
  nlohmann-json3-dev libyaml-dev libcurl4-openssl-dev libcli11-dev
  libsqlite3-dev libpq-dev postgresql
  googletest libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev libssl-dev openssl
  clang-14 libclang-rt-14-dev clang-format-14
  bubblewrap procps
  python3 python3-pandas python3-matplotlib python3-seaborn python3-sqlalchemy
  python3-psycopg2 python3-sqlglot
  nodejs
)
# The machine's Node.js may come with its own npm; Debian's npm conflicts with it.
command -v npm >/dev/null 2>&1 || PACKAGES+=(npm)
# Any kubectl will do; some machines carry one from another package.
command -v kubectl >/dev/null 2>&1 || PACKAGES+=(kubernetes-client)

missing=()
for pkg in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# DuckDB is no Debian package: its C library and header come from npm's official
# packages, pinned and checked, into third_party/duckdb/ (lib/libduckdb.so,
# include/duckdb.h). The library and the header are of the same DuckDB release.
DUCKDB_VERSION=1.4.4
DUCKDB_LIB_PACKAGE=@duckdb/node-bindings-linux-x64@1.4.4-r.4
DUCKDB_LIB_SHA256=732fac4dc6b8f198870b9c4bb6ddf13544466daca00ad28ba2f1d80de5d7aa4b
DUCKDB_HEADER_PACKAGE=duckdb@1.4.4
DUCKDB_HEADER_SHA256=5bb967dcbcd517670ba5f169f238fb9d6787e53752c60ebe24386169d76941ed
install_duckdb() {
  local dest=third_party/duckdb
  if [ "$(cat "$dest/VERSION" 2>/dev/null)" = "$DUCKDB_VERSION" ] && [ -f "$dest/lib/libduckdb.so" ] &&
    [ -f "$dest/include/duckdb.h" ]; then
    return 0
  fi
  if [ "$(uname -sm)" != "Linux x86_64" ]; then
    echo "setup: no DuckDB package for $(uname -sm); building without DuckDB (or set DUCKDB_ROOT)" >&2
    return 0
  fi
  echo "setup: installing DuckDB $DUCKDB_VERSION into $dest"
  local work
  work=$(mktemp -d)
  (cd "$work" && npm pack --silent "$DUCKDB_LIB_PACKAGE" "$DUCKDB_HEADER_PACKAGE" >/dev/null)
  local lib_tgz header_tgz
  lib_tgz=$(ls "$work"/duckdb-node-bindings-linux-x64-*.tgz)
  header_tgz=$(ls "$work"/duckdb-[0-9]*.tgz)
  echo "$DUCKDB_LIB_SHA256  $lib_tgz" | sha256sum --check --quiet
  echo "$DUCKDB_HEADER_SHA256  $header_tgz" | sha256sum --check --quiet
  tar -xzf "$lib_tgz" -C "$work" package/libduckdb.so
  tar -xzf "$header_tgz" -C "$work" package/src/duckdb/src/include/duckdb.h
  if ! grep -aq "v$DUCKDB_VERSION" "$work/package/libduckdb.so"; then
    echo "setup: the DuckDB library is not release $DUCKDB_VERSION" >&2
    rm -rf "$work"
    return 1
  fi
  rm -rf "$dest"
  mkdir -p "$dest/lib" "$dest/include"
  mv "$work/package/libduckdb.so" "$dest/lib/"
  mv "$work/package/src/duckdb/src/include/duckdb.h" "$dest/include/"
  echo "$DUCKDB_VERSION" >"$dest/VERSION"
  rm -rf "$work"
}
install_duckdb

[ "${1:-}" = "--deps" ] && exit 0

BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja \
  -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" \
  -DVELKO_SANITIZE="${VELKO_SANITIZE:-OFF}" -DVELKO_WERROR="${VELKO_WERROR:-OFF}" >/dev/null
cmake --build "$BUILD_DIR"
