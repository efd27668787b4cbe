#!/usr/bin/env bash
# Installs what is missing, builds the shipped x86 programs and the test build, and runs
# every test (GoogleTest programs and system tests) in two fresh Wine prefixes.
set -euo pipefail
# Debian's wine is built without its preloader, which reserves the address ranges a Windows
# process needs before anything else is mapped; with address space randomisation a start may
# find them taken (seen: now and then a program of the run did not start). Every process of
# the run, the prefixes' services included, inherits a fixed layout.
if [ -z "${HALVARO_FIXED_LAYOUT:-}" ] && setarch "$(uname -m)" -R true 2>/dev/null; then
  export HALVARO_FIXED_LAYOUT=1
  exec setarch "$(uname -m)" -R bash "$0" "$@"
fi
cd "$(dirname "$0")/.."
bash scripts/setup.sh --test-machine
source scripts/testbed.sh

choose_test_build
build_preset windows-x86
[ "$TEST_PRESET" = windows-x86 ] || build_preset "$TEST_PRESET"
testbed_start
testbed_start_second
cd "$BUILD_DIR"
status=0
# Two test programs at a time, one in each prefix.
ctest --output-on-failure --timeout 600 -j2 || status=$?
if [ "$TEST_PRESET" = windows-x86 ]; then
  echo "test.sh: the tests ran the shipped x86 build under wine32"
elif [ "$TEST_PRESET" = windows-x86-debug ]; then
  echo "test.sh: the tests ran the x86 debug build (lock order checked) under wine32"
else
  echo "test.sh: WARNING: the tests ran the $TEST_PRESET fallback build; the shipped x86" \
    "programs were not run (this machine cannot run 32-bit code under wine)" >&2
fi
exit "$status"
