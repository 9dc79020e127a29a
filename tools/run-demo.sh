#!/usr/bin/env bash
# Installs what is missing, builds, and runs the live demonstration: the monitor against the
# simulated event log, detecting and blocking a burst of attacks (tools/demo.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/build.sh
exec tools/demo.sh
