# The Wine test bed, sourced by test.sh and demo.sh: picks the build whose programs this
# machine can run, makes a fresh prefix under that build's directory, keeps one wineserver
# and one ordinary wine process for the run, and ends them when the run ends.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# The shipped programs are 32-bit. Some machines cannot execute 32-bit code at all (or only
# through an emulator far too slow for a test run); there the same sources built for x64
# run under wine64.
runs_32bit_natively() {
  grep -qs 'qemu-i386' /proc/sys/fs/binfmt_misc/* && return 1
  /usr/lib/wine/wineserver32 --version >/dev/null 2>&1
}

choose_test_build() {
  if [ -n "${HALVARO_TEST_PRESET:-}" ]; then
    TEST_PRESET=$HALVARO_TEST_PRESET
  elif runs_32bit_natively; then
    TEST_PRESET=windows-x86
  else
    TEST_PRESET=windows-x64
  fi
  case "$TEST_PRESET" in
    windows-x86*) export HALVARO_WINE=/usr/lib/wine/wine ;;
    *) export HALVARO_WINE=/usr/lib/wine/wine64 ;;
  esac
  export WINELOADER=$HALVARO_WINE
  BUILD_DIR=$ROOT/build/$TEST_PRESET
  export HALVARO_BIN=$BUILD_DIR/bin
  echo "testbed: running the $TEST_PRESET build under $HALVARO_WINE"
}

build_preset() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
}

# Ends the processes of this prefix that no wineserver ends any more: one whose server died
# under it keeps waiting for that server, and would otherwise count as a program of the
# next run's prefix of the same path.
kill_prefix_leftovers() {
  local p
  for p in /proc/[0-9]*; do
    [ "${p#/proc/}" = "$$" ] && continue
    grep -qsz "^WINEPREFIX=$1\$" "$p/environ" && kill -9 "${p#/proc/}" 2>/dev/null
  done
  return 0
}

# Ends the prefix at $1: its wineserver, and what that leaves.
end_prefix() {
  [ -d "$1" ] || return 0
  WINEPREFIX=$1 wineserver -k >/dev/null 2>&1 || true
  WINEPREFIX=$1 wineserver -w >/dev/null 2>&1 || true
  kill_prefix_leftovers "$1"
}

testbed_end() {
  # The demo's simulated board first, and reaped here: it carries the prefix in its
  # environment, and ended with the prefix's leftovers (kill -9) the shell would report it.
  if [ -n "${BOARD_PID:-}" ]; then
    kill "$BOARD_PID" 2>/dev/null && { wait "$BOARD_PID" 2>/dev/null || true; }
  fi
  [ -n "${WINEPREFIX:-}" ] && end_prefix "$WINEPREFIX"
  [ -n "${SECOND_PREFIX:-}" ] && end_prefix "$SECOND_PREFIX"
  return 0
}

# The debug channels of the prefix's services (see testbed_start): the process id on each
# line, ntdll's warnings, where wine's execution-state call reports each request, and the
# event log, where wine's ReportEventW writes each entry's insertion strings at its level.
SERVICE_CHANNELS=+pid,warn+ntdll,+eventlog
# A debug build's services also report a lock-order violation there: wine shows debugger
# output among the warnings of seh, and a service has no stderr of its own.
service_channels() {
  case "${TEST_PRESET:-}" in
    *-debug) echo "$SERVICE_CHANNELS,warn+seh" ;;
    *) echo "$SERVICE_CHANNELS" ;;
  esac
}

# The test bed's prefix, $BUILD_DIR/wineprefix, made afresh: WINEPREFIX and
# HALVARO_SERVICES_LOG name it and its services' log from then on.
testbed_start() {
  export WINEPREFIX=$BUILD_DIR/wineprefix
  export HALVARO_SERVICES_LOG=$BUILD_DIR/services.log
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installers in a test prefix
  trap testbed_end EXIT
  make_prefix
}

# A second prefix beside the first, $BUILD_DIR/wineprefix-2 with services-2.log, so that
# two test programs can run at once (each prefix has its own wineserver, services, ports
# and simulated machine). Ended with the first.
testbed_start_second() {
  export SECOND_PREFIX=$BUILD_DIR/wineprefix-2
  WINEPREFIX=$SECOND_PREFIX HALVARO_SERVICES_LOG=$BUILD_DIR/services-2.log make_prefix
}

# Makes the prefix WINEPREFIX afresh, with the simulated machine, and its services' log at
# HALVARO_SERVICES_LOG.
make_prefix() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  kill_prefix_leftovers "$WINEPREFIX"
  rm -rf "$WINEPREFIX"
  echo "testbed: making the prefix $WINEPREFIX"
  "$HALVARO_WINE" wineboot -i >/dev/null 2>&1
  wineserver -w
  # Without a display, windows need the null graphics driver.
  "$HALVARO_WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
  wineserver -k; wineserver -w
  # wine maps COM1.. to the machine's own serial devices (here the console). The simulated
  # machine has only the ports that the tests and the demo map to the simulated board.
  # An empty mapping disables a port; the ports the tests use (7, 9) stay unmapped.
  for port in 1 2 3 4 5 6 7 8 9 10; do
    "$HALVARO_WINE" reg add 'HKLM\Software\Wine\Ports' /v "COM$port" /d "" /f >/dev/null
  done
  # What the platform reports of the service's calls (the execution state it asks for, and
  # later its event log entries) goes to wine's debug channels of the service process. A
  # service inherits the environment and the stderr of the prefix's services.exe, which the
  # next wine program starts: the system environment in the registry gives it the channels
  # (only while it starts), and its stderr is the log.
  "$HALVARO_WINE" reg add 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
    /v WINEDEBUG /d "$(service_channels)" /f >/dev/null
  wineserver -k; wineserver -w
  rm -f "$WINEPREFIX"/dosdevices/com[0-9]*
  wineserver -p >/dev/null 2>&1
  : >"$HALVARO_SERVICES_LOG"
  # The simulated firmware stands in for the WMI locator class of this prefix.
  "$HALVARO_WINE" regsvr32 /s "$HALVARO_BIN/SimWmi.dll" 2>>"$HALVARO_SERVICES_LOG"
  # services.exe now runs with the channels in its environment, which it hands on to every
  # service; every other program goes back to WINEDEBUG as the test bed sets it.
  "$HALVARO_WINE" reg delete 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
    /v WINEDEBUG /f >/dev/null
  # The simulated audio endpoint stands in for the platform's device enumerator: the machine
  # has one playback device, "Speakers", at half volume. (The simulated mixer is chosen per
  # program, by the tests that need it.)
  "$HALVARO_WINE" regsvr32 /s "$HALVARO_BIN/SimAudio.dll"
  # The companion that the service starts at every start, beside the service.
  cp "$HALVARO_BIN/SimCompanion.exe" "$HALVARO_BIN/Merrowin.exe"
  # The prefix's services live only while an ordinary wine process does.
  "$HALVARO_WINE" "$HALVARO_BIN/KeepAlive.exe" >/dev/null 2>&1 &
  # The simulated optical drive at \\.\CDROM0, empty. A 32-bit driver lies in syswow64 (the
  # 32-bit view of system32) and is started by the sc of its own bitness.
  case "$HALVARO_WINE" in
    *wine64) system=$WINEPREFIX/drive_c/windows/system32 ;;
    *) system=$WINEPREFIX/drive_c/windows/syswow64 ;;
  esac
  drivers=$system/drivers
  mkdir -p "$drivers"
  # The simulated mixer lies where the system's winmm.dll does, as the programs load it from
  # the system directory only; a program whose DllOverrides say winmm = native takes it,
  # every other one keeps wine's own.
  cp "$HALVARO_BIN/winmm.dll" "$system/winmm.dll"
  cp "$HALVARO_BIN/SimDrive.sys" "$drivers/"
  "$HALVARO_WINE" sc create SimDrive type= kernel start= demand \
    binPath= 'C:\windows\system32\drivers\SimDrive.sys' >/dev/null
  "$HALVARO_WINE" sc start SimDrive >/dev/null || { echo "testbed: SimDrive.sys did not start" >&2; return 1; }
}

# The shared start of the demo and the benchmarks: set up, build the runnable build, make
# the prefix.
testbed_prepare() {
  bash "$ROOT/scripts/setup.sh"
  choose_test_build
  build_preset "$TEST_PRESET" >/dev/null
  testbed_start
}
