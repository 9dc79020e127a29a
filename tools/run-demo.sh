#!/usr/bin/env bash
# Installs what is missing, builds, and runs the monitor under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/build.sh
status=0
build/wine-run build/bin/sim/tosmire-ips-sim.exe || status=$?
build/wine-run --server-kill
exit $status
