#!/usr/bin/env bash
# Installs what the build and the Wine test bed need on a Debian 12 machine, if missing.
set -euo pipefail

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
# wine32 runs the shipped 32-bit programs where the machine can execute 32-bit code; wine64
# and the x86-64 compilers give the same sources a test bed where it cannot.
for p in cmake make binutils g++-mingw-w64-i686-posix mingw-w64-i686-dev \
         g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine wine32:i386 wine64 \
         socat googletest python3 python3-pytest; do
  have_pkg "$p" || need+=("$p")
done
if [ "${#need[@]}" -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
