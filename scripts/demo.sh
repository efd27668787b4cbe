#!/usr/bin/env bash
# Installs what is missing, builds, and shows the service at work on the simulated machine
# in a fresh Wine prefix of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/testbed.sh
testbed_prepare

W=$HALVARO_WINE
KEY='HKLM\SYSTEM\CurrentControlSet\Services\Orva WMI Service'
say() { printf '\n== %s\n' "$*"; }
state() { "$W" sc query "Orva WMI Service" | grep -E 'STATE' || echo "        (not installed)"; }
# The programs of this prefix whose names match, one a line.
running() {
  for p in /proc/[0-9]*; do
    grep -qsz "^WINEPREFIX=$WINEPREFIX\$" "$p/environ" || continue
    tr '\0' '\n' < "$p/cmdline" 2>/dev/null | head -1
  done | grep -iE "$1" | sed 's/^/        running: /' | grep . || echo "        none running"
}
values() { "$W" reg query "$KEY" 2>/dev/null | grep -E 'REG_' | grep -vE 'ImagePath|DisplayName|ObjectName|ErrorControl|Start |Type |WOW64' || true; }

say "Halvaro.exe install"
"$W" "$HALVARO_BIN/Halvaro.exe" install
state
say "registry values of the service key (settings absent: defaults 1, COM1, 9600, 0)"
values

say "the simulated AV board on COM7; the service is pointed at it (ComPort=7) and restarted"
/usr/bin/python3 sim/avboard/avboard_sim.py --link "$WINEPREFIX/dosdevices/com7" &
BOARD_PID=$!
sleep 0.5
"$W" reg add "$KEY" /v ComPort /t REG_DWORD /d 7 /f >/dev/null
"$W" sc stop "Orva WMI Service" >/dev/null; sleep 1
"$W" sc start "Orva WMI Service" >/dev/null; sleep 2
echo "(the board received the query, the disc state (an empty drive), then the start volume:"
echo " the simulated endpoint's Speakers at level 0.5 read 32767 of 65535, sent as 49)"
"$W" "$HALVARO_BIN/SimAudio.exe" status | head -1

say "resume from sleep (WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC): the disc state is sent again"
"$W" "$HALVARO_BIN/SimPower.exe" resume
sleep 1

say "hotkey events: the listener runs (CurrentServiceMode), a client subscribes and keys are pressed"
values | grep -E 'CurrentServiceMode|AVBoardStatus'
"$W" "$HALVARO_BIN/SimClient.exe" watch 6 &
WATCH_PID=$!
sleep 1.5
for code in 0x42 0x43 0xC7; do "$W" "$HALVARO_BIN/SimFirmware.exe" press $code | head -1; sleep 0.5; done
"$W" "$HALVARO_BIN/SimClient.exe" last
echo "(a second subscriber evicts the first: EMAMaxRegister is 1)"
"$W" "$HALVARO_BIN/SimClient.exe" subscribe 0x1234
wait "$WATCH_PID" || true

say "volume keys: the board hears the new level first (Hotkey volume), then the endpoint moves"
"$W" "$HALVARO_BIN/SimFirmware.exe" press 0xC0 >/dev/null; sleep 0.7
"$W" "$HALVARO_BIN/SimFirmware.exe" press 0xC0 >/dev/null; sleep 0.7
"$W" "$HALVARO_BIN/SimAudio.exe" status | head -1

say "another program changes the volume (level 0.3), then mutes: the board shows 30, then 0"
"$W" "$HALVARO_BIN/SimAudio.exe" level 0.3 >/dev/null; sleep 0.7
"$W" "$HALVARO_BIN/SimAudio.exe" mute on >/dev/null; sleep 0.7
"$W" "$HALVARO_BIN/SimAudio.exe" mute off >/dev/null; sleep 0.7

say "debounce: ComCmdTimeFrame=500; four quick changes put two frames on the line (first and last)"
"$W" reg add "$KEY" /v ComCmdTimeFrame /t REG_DWORD /d 500 /f >/dev/null
"$W" sc stop "Orva WMI Service" >/dev/null; sleep 1
"$W" sc start "Orva WMI Service" >/dev/null; sleep 3
# Another program sets 40, 41, 42 and 43 percent, 100 ms apart.
"$W" "$HALVARO_BIN/VolumeDriver.exe" set 26214 26869 27524 28179 >/dev/null
sleep 1
"$W" reg delete "$KEY" /v ComCmdTimeFrame /f >/dev/null

say "AV mode on and off (codes 0xC4, 0xC5): CurrentAVMode in the registry"
"$W" "$HALVARO_BIN/SimFirmware.exe" press 0xC4 >/dev/null; sleep 0.5
values | grep CurrentAVMode || true
"$W" "$HALVARO_BIN/SimFirmware.exe" press 0xC5 >/dev/null; sleep 0.5
values | grep CurrentAVMode || true

say "a disc goes in, then the eject key (0xC6): the drive empties and the board learns it"
"$W" "$HALVARO_BIN/SimDrive.exe" insert >/dev/null; sleep 1.5
"$W" "$HALVARO_BIN/SimFirmware.exe" press 0xC6 >/dev/null; sleep 1.5
"$W" "$HALVARO_BIN/SimDrive.exe" status

say "a client drives the board through the AV-command pipe: query, Hotkey volume 150 (sent as 100), Set volume 25"
"$W" "$HALVARO_BIN/SimClient.exe" av query
"$W" "$HALVARO_BIN/SimClient.exe" av hotkey 150
"$W" "$HALVARO_BIN/SimClient.exe" av set 25
sleep 0.5

say "the diagnostic program: HalvaroCtl status (service, settings with their source, status values, pipes, board)"
"$W" "$HALVARO_BIN/HalvaroCtl.exe" status

say "HalvaroCtl watch: a subscriber that prints each hotkey code with a time stamp (here for 4 s)"
"$W" "$HALVARO_BIN/HalvaroCtl.exe" watch --for 4 &
WATCH_PID=$!
sleep 1.5
for code in 0x44 0x45; do "$W" "$HALVARO_BIN/SimFirmware.exe" press $code >/dev/null; sleep 0.5; done
wait "$WATCH_PID" || true
"$W" "$HALVARO_BIN/HalvaroCtl.exe" volume 35

say "the AV board is unplugged (its serial line goes away): hotkeys still reach clients"
kill "$BOARD_PID"; wait "$BOARD_PID" 2>/dev/null || true
sleep 4
"$W" "$HALVARO_BIN/SimFirmware.exe" press 0x46 >/dev/null; sleep 0.5
"$W" "$HALVARO_BIN/SimClient.exe" last
"$W" "$HALVARO_BIN/HalvaroCtl.exe" volume 36 || true

say "a board is plugged back on COM7: within a few seconds the service queries it and sends the disc state and the volume"
/usr/bin/python3 sim/avboard/avboard_sim.py --link "$WINEPREFIX/dosdevices/com7" &
BOARD_PID=$!
sleep 5

say "the firmware's WMI provider restarts (its delivery breaks): CurrentServiceMode turns 0"
"$W" "$HALVARO_BIN/SimFirmware.exe" fault broken on
sleep 2
values | grep -E 'CurrentServiceMode'
say "the provider is back: the listener connects again by itself, and keys arrive again"
"$W" "$HALVARO_BIN/SimFirmware.exe" fault broken off
sleep 3
values | grep -E 'CurrentServiceMode'
"$W" "$HALVARO_BIN/SimFirmware.exe" press 0x47 >/dev/null; sleep 0.5
"$W" "$HALVARO_BIN/SimClient.exe" last
echo "(the same status for scripts:)"
"$W" "$HALVARO_BIN/HalvaroCtl.exe" status --json

say "the service's hidden window, and its answer to a suspend query (PBT_APMQUERYSUSPEND)"
"$W" "$HALVARO_BIN/SimPower.exe" find
"$W" "$HALVARO_BIN/SimPower.exe" broadcast 0

say "a mixer machine: the service sees the older version, loads the simulated mixer beside it and starts the agent Quenlit (Merrowin starts at every start)"
for app in Halvaro.exe Quenlit.exe; do
  "$W" reg add "HKCU\\Software\\Wine\\AppDefaults\\$app" /v Version /d winxp /f >/dev/null
  "$W" reg add "HKCU\\Software\\Wine\\AppDefaults\\$app\\DllOverrides" /v winmm /d native /f >/dev/null
done
"$W" "$HALVARO_BIN/SimMixer.exe" bounds 0 100 >/dev/null
"$W" "$HALVARO_BIN/SimMixer.exe" volume 40 >/dev/null
"$W" sc stop "Orva WMI Service" >/dev/null; sleep 1
"$W" sc start "Orva WMI Service" >/dev/null; sleep 3
echo "(the board received the mixer's 40 of 0..100 as the start volume)"
"$W" "$HALVARO_BIN/SimMixer.exe" status | grep -E 'volume|min|max|open_handles'
running 'quenlit|merrowin'

say "another program sets the mixer to 70, then mutes: through the agent's event the board shows 70, then 0"
"$W" "$HALVARO_BIN/SimMixer.exe" volume 70 >/dev/null; sleep 1
"$W" "$HALVARO_BIN/SimMixer.exe" mute on >/dev/null; sleep 1
"$W" "$HALVARO_BIN/SimMixer.exe" mute off >/dev/null; sleep 1

say "stop, with a companion Tobrel.exe running: the agent quits by itself, the companions are ended"
mkdir -p "$WINEPREFIX/drive_c/companions"
cp "$HALVARO_BIN/SimCompanion.exe" "$WINEPREFIX/drive_c/companions/Tobrel.exe"
"$W" "$WINEPREFIX/drive_c/companions/Tobrel.exe" </dev/null >/dev/null 2>&1 &
sleep 2
running 'quenlit|merrowin|tobrel'
"$W" sc stop "Orva WMI Service" >/dev/null; sleep 2; state
echo "(left of the agent and the companions:)"
running 'quenlit|merrowin|tobrel'
for app in Halvaro.exe Quenlit.exe; do
  "$W" reg delete "HKCU\\Software\\Wine\\AppDefaults\\$app" /f >/dev/null
done
values

say "after the stop the COM port is free: another program queries the board"
"$W" "$HALVARO_BIN/AvBoardDriver.exe" 7 9600 query
sleep 0.5

say "Halvaro.exe delete"
"$W" "$HALVARO_BIN/Halvaro.exe" delete
sleep 1; state
