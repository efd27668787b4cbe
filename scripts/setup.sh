#!/usr/bin/env bash
# Installs what the build and the Wine test bed need on a Debian 12 machine, if missing.
set -euo pipefail

have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
updated=0
install_missing() {
  local need=() p
  for p in "$@"; do have_pkg "$p" || need+=("$p"); done
  [ "${#need[@]}" -gt 0 ] || return 0
  echo "setup: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # A mirror in the middle of a sync fails some index files; what it did fetch still serves.
  [ "$updated" = 1 ] || { apt-get update -qq || true; updated=1; }
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
}

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
# wine64 and the x86-64 compilers give the same sources a test bed where 32-bit code cannot run.
# The cross binutils bring windres and windmc (the event log's message table).
install_missing cmake make binutils binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 \
  g++-mingw-w64-i686-win32 mingw-w64-i686-dev g++-mingw-w64-x86-64-win32 mingw-w64-x86-64-dev \
  wine wine64 socat googletest python3 python3-pytest
# wixl builds the installer package from installer/halvaro.wxs; msitools' msibuild completes it.
install_missing wixl msitools
# wine32 runs the shipped 32-bit programs. A mirror whose i386 index lags its amd64 one leaves
# them uninstallable the ordinary way; on a test machine (test.sh passes --test-machine) they
# are then installed with the libraries pinned to the i386 index's versions. Where that fails
# too, the run falls back to the x64 build, and test.sh says so at its end.
if ! install_missing wine32:i386; then
  if [ "${1:-}" = --test-machine ]; then
    bash "$(dirname "$0")/wine32-pinned.sh" ||
      echo "setup: wine32 could not be installed; the tests run the x64 build" >&2
  else
    echo "setup: wine32 could not be installed; the x64 build runs instead" >&2
  fi
fi
