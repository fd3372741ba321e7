#!/usr/bin/env bash
# Sets the project up on this machine (packages, build) and runs `velko demo`: a sample
# SQLite warehouse, the agent's system prompt, and the tool calls a model would make.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >/dev/null
exec build/app/velko demo "$@"
