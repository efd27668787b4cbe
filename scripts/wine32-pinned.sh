#!/usr/bin/env bash
# Installs wine32:i386 on a test machine whose mirror has an i386 index that lags the amd64
# one. Libraries that both architectures must share at one version then exist for amd64 in a
# version the i386 index does not list, and apt gives up ("generated breaks"). This asks for
# both architectures at the version the i386 index has, a round at a time, for each library
# apt names. It changes system libraries (it may move some back to an earlier point release
# and remove -dev packages that pin the newer one), so test.sh runs it, the demo does not.
set -uo pipefail
export DEBIAN_FRONTEND=noninteractive

pins=()
pinned() { local p; for p in "${pins[@]}"; do [ "${p%%=*}" = "$1" ] && return 0; done; return 1; }

for round in 1 2 3 4 5 6 7 8; do
  plan=$(apt-get install -s --no-install-recommends --allow-downgrades wine32:i386 "${pins[@]}" 2>&1)
  if ! grep -q 'unmet dependencies\|generated breaks' <<<"$plan"; then
    echo "wine32-pinned: installing wine32:i386 with ${#pins[@]} pins ($((round - 1)) rounds)"
    apt-get install -y -qq --no-install-recommends --allow-downgrades wine32:i386 "${pins[@]}" >/dev/null
    exit $?
  fi
  added=0
  for name in $(grep -o '[a-z0-9][a-z0-9.+-]*:i386' <<<"$plan" | sed 's/:i386$//' | sort -u); do
    pinned "$name" && continue
    have=$(dpkg-query -W -f='${Version}' "$name:amd64" 2>/dev/null) || continue
    i386=$(apt-cache policy "$name:i386" | awk '/Candidate:/ {print $2}')
    amd64=$(apt-cache policy "$name:amd64" | awk '/Candidate:/ {print $2}')
    [ -n "$i386" ] && [ "$i386" != "(none)" ] && { [ "$i386" != "$amd64" ] || [ "$i386" != "$have" ]; } || continue
    # Only when the amd64 index has that version too.
    apt-cache madison "$name" | awk -v v="$i386" '$3 == v && /amd64/ {found = 1} END {exit !found}' \
      || continue
    pins+=("$name=$i386" "$name:i386=$i386")
    added=1
  done
  [ "$added" = 1 ] || break
done
echo "wine32-pinned: no set of pins makes wine32:i386 installable here" >&2
exit 1
