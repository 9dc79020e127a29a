#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/build.sh
status=0
ctest --preset mingw || status=$?
# No Wine process of this build's prefix may outlive the run.
build/wine-run --server-kill
exit $status
