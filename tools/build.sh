#!/usr/bin/env bash
# Installs what is missing, then configures and builds everything (programs, tools, tests).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
cmake --preset mingw >/dev/null
# The Wine prefixes are made while the programs compile: booting Wine mostly waits, and the
# first test would wait for it otherwise. A failure here is the first test's to report.
build/wine-run --prepare >/dev/null 2>&1 &
prepared=$!
cmake --build --preset mingw
wait $prepared || true
