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
  nlohmann-json3-dev libyaml-cpp-dev libyaml-dev libcurl4-openssl-dev libfmt-dev libcli11-dev
  libsqlite3-dev libpq-dev postgresql
  googletest libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev libssl-dev
  clang-14 libclang-rt-14-dev
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

[ "${1:-}" = "--deps" ] && exit 0

BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja \
  -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" \
  -DVELKO_SANITIZE="${VELKO_SANITIZE:-OFF}" -DVELKO_WERROR="${VELKO_WERROR:-OFF}" >/dev/null
cmake --build "$BUILD_DIR"
