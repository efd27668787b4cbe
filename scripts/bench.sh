#!/usr/bin/env bash
# Installs what is missing, builds, and runs the benchmarks in a fresh Wine prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/testbed.sh
testbed_prepare
for bench in bench/*.py; do /usr/bin/python3 "$bench"; done
