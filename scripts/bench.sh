#!/usr/bin/env bash
# Installs what is missing, builds, and runs the benchmarks in a fresh Wine prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/testbed.sh
choose_test_build
build_preset "$TEST_PRESET" >/dev/null
testbed_start
for bench in bench/*.py; do /usr/bin/python3 "$bench"; done
