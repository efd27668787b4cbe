#!/usr/bin/env bash
# Installs what is missing, builds the shipped x86 programs and the test build, and runs
# every test (GoogleTest programs and system tests) in a fresh Wine prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/testbed.sh

choose_test_build
build_preset windows-x86
[ "$TEST_PRESET" = windows-x86 ] || build_preset "$TEST_PRESET"
testbed_start
cd "$BUILD_DIR"
ctest --output-on-failure --timeout 600
