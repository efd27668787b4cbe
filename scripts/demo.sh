#!/usr/bin/env bash
# Installs what is missing, builds, and shows the service at work on the simulated machine
# in a fresh Wine prefix of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/testbed.sh

choose_test_build
build_preset "$TEST_PRESET" >/dev/null
testbed_start

W=$HALVARO_WINE
KEY='HKLM\SYSTEM\CurrentControlSet\Services\Orva WMI Service'
say() { printf '\n== %s\n' "$*"; }
state() { "$W" sc query "Orva WMI Service" | grep -E 'STATE' || echo "        (not installed)"; }
values() { "$W" reg query "$KEY" 2>/dev/null | grep -E 'REG_' | grep -vE 'ImagePath|DisplayName|ObjectName|ErrorControl|Start |Type |WOW64' || true; }

say "Halvaro.exe install"
"$W" "$HALVARO_BIN/Halvaro.exe" install
state
say "registry values of the service key (settings absent: defaults 1, COM1, 9600, 0)"
values

say "the service's hidden window, and its answer to a suspend query (PBT_APMQUERYSUSPEND)"
"$W" "$HALVARO_BIN/SimPower.exe" find
"$W" "$HALVARO_BIN/SimPower.exe" broadcast 0

say "stop"
"$W" sc stop "Orva WMI Service" >/dev/null; sleep 1; state
values

say "Halvaro.exe delete"
"$W" "$HALVARO_BIN/Halvaro.exe" delete
sleep 1; state
