#!/usr/bin/env bash
# Installs what is missing, then configures and builds everything (programs, tools, tests).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw
