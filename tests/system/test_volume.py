"""The volume monitor on the simulated endpoint and the simulated mixer, and the start volume
that the service sends to the board on both."""
import subprocess
import threading
import time

from conftest import (BOARD_PORT, VolumeWatcher, WINE, hexes, program, reg_set,
                      simaudio, simmixer, start_service, stop_service, volume_driver,
                      wait_until)

CALLBACK_TIMEOUT = 10


def device(name):
    return next(d for d in simaudio("status") if d.get("device") == name)


def test_endpoint_reads_and_sets_with_its_conversions(audio_reset):
    info = volume_driver("info")
    assert (info["kind"], info["watcher"], info["min"], info["max"]) == ("2", "1", "0", "65535")
    for level, raw in (("0.5", "32767"), ("1.0", "65535"), ("0.0", "0")):
        simaudio("level", level)
        assert volume_driver("info")["volume"] == raw
    for raw, back in ((1, 0), (32768, 32767), (64879, 64878), (32767, 32767), (65535, 65535)):
        assert volume_driver("set", raw)["volume"] == str(back)
    # A set unmutes, also at the level the endpoint already has.
    simaudio("mute", "on")
    assert volume_driver("set", 65535) == {"volume": "65535", "muted": "0"}


def test_changes_by_another_process_reach_the_callback(audio_reset):
    watcher = VolumeWatcher(seconds=20)
    try:
        assert watcher.kind == 2
        simaudio("level", "0.25")
        assert wait_until(lambda: 16383 in watcher.volumes(), CALLBACK_TIMEOUT), watcher.lines
        simaudio("mute", "on")  # a mute change arrives as the current volume
        assert wait_until(lambda: any(c["muted"] == "1" for c in watcher.calls()),
                          CALLBACK_TIMEOUT), watcher.lines
        assert watcher.volumes()[-1] == 16383
        # Its own set comes back the same way.
        volume_driver("set", 6553)
        assert wait_until(lambda: 6553 in watcher.volumes(), CALLBACK_TIMEOUT), watcher.lines
    finally:
        watcher.close()
    # Removing the callback unregisters it: none is left registered.
    assert volume_driver("unset", 1)["calls"] == "0"
    assert wait_until(lambda: device("Speakers")["callbacks"] == "0", 5), simaudio("status")


def test_default_device_changes_reopen_the_backend(audio_reset):
    simaudio("add", "Headphones", "0.8")
    watcher = VolumeWatcher(seconds=40)
    try:
        simaudio("default", "Headphones")
        assert wait_until(lambda: watcher.calls(), CALLBACK_TIMEOUT), watcher.lines
        time.sleep(2.5)  # a second re-opening would follow its 1 s pause
        assert watcher.volumes() == [52428]  # once, after the pause

        # Two changes at the same moment, well within the pause: one re-opening. The volume
        # is reported even unchanged.
        changes = [subprocess.Popen([WINE, program("SimAudio.exe"), "default", "Speakers"],
                                    stdout=subprocess.DEVNULL) for _ in range(2)]
        assert [c.wait(60) for c in changes] == [0, 0]
        assert wait_until(lambda: len(watcher.calls()) >= 2, CALLBACK_TIMEOUT), watcher.lines
        time.sleep(2.5)
        assert watcher.volumes() == [52428, 32767]

        # Other roles and the capture flow change nothing.
        simaudio("default-role", "multimedia", "Headphones")
        simaudio("capture-default", "Microphone")
        time.sleep(2.5)
        assert len(watcher.calls()) == 2

        # No device at all: 0. A device that comes afterwards is found.
        simaudio("default", "none")
        assert wait_until(lambda: len(watcher.calls()) == 3, CALLBACK_TIMEOUT)
        assert watcher.volumes()[-1] == 0
        simaudio("add", "Monitor", "0.2")
        simaudio("default", "Monitor")
        assert wait_until(lambda: len(watcher.calls()) == 4, CALLBACK_TIMEOUT)
        assert watcher.volumes()[-1] == 13107
        # And the callback is registered on the new device.
        simaudio("level", "0.4", "Monitor")
        assert wait_until(lambda: 26214 in watcher.volumes(), CALLBACK_TIMEOUT), watcher.lines
    finally:
        watcher.close()


def test_destruction_under_churn_and_device_changes_leaves_nothing(audio_reset):
    simaudio("add", "Headphones", "0.6")
    stop = threading.Event()

    def switch_defaults():
        n = 0
        while not stop.is_set():
            simaudio("default", "Headphones" if n % 2 else "Speakers")
            n += 1
            time.sleep(0.4)

    churn = subprocess.Popen([WINE, program("VolumeDriver.exe"), "churn", "25"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    switcher = threading.Thread(target=switch_defaults)
    switcher.start()
    try:
        out = volume_driver("lifetime", 16)
    finally:
        stop.set()
        switcher.join()
        churn.kill()
        churn.wait()
    assert int(out["calls"]) > 0  # the callbacks did run while the monitors lived
    assert out["late_calls"] == "0"
    assert out["threads_after"] == out["threads_before"]
    status = simaudio("status")
    assert all(d.get("callbacks", "0") == "0" for d in status if "device" in d), status
    assert any(d.get("calls_after_release") == "0" for d in status), status


def test_mixer_backend_cases(mixer_machine):
    info = volume_driver("info")
    assert (info["kind"], info["watcher"], info["min"], info["max"]) == ("1", "0", "0", "65535")

    opens = int(simmixer("status")["mixer_open_calls"])
    simmixer("devices", "0")
    assert volume_driver("info")["kind"] == "0"
    assert int(simmixer("status")["mixer_open_calls"]) == opens  # mixerOpen never called
    simmixer("devices", "1")
    for controls in ("no-speakers", "volume-only", "mute-only"):
        simmixer("controls", controls)
        assert volume_driver("info")["kind"] == "0", controls
    simmixer("controls", "both")

    # Written as given, outside the bounds too: the driver decides.
    simmixer("bounds", "0", "100")
    assert volume_driver("set", 70000)["volume"] == "70000"
    simmixer("volume", "40")

    watcher = VolumeWatcher(seconds=20)
    try:
        assert watcher.kind == 1
        simmixer("mute", "on")
        assert wait_until(lambda: watcher.calls(), CALLBACK_TIMEOUT), watcher.lines
        assert watcher.calls()[-1] == {"volume": "40", "muted": "1"}
        simmixer("spurious", "handle")
        simmixer("spurious", "control")
        time.sleep(1)
        assert len(watcher.calls()) == 1
        simmixer("volume", "55")
        assert wait_until(lambda: 55 in watcher.volumes(), CALLBACK_TIMEOUT), watcher.lines
    finally:
        watcher.close()


def service_start_frames(board):
    board.clear()
    start_service()
    assert board.wait_frames(3, 15)
    frames = hexes(board.frames())
    stop_service()
    return frames


def test_the_board_gets_the_start_volume_on_both_backends(clean_service, board, audio_reset,
                                                          mixer_machine):
    reg_set("ComPort", BOARD_PORT)
    # The endpoint machine: level 0.5 reads 32767 of 65535, 49 rounded down; muted sends 0.
    from conftest import set_mixer_machine
    set_mixer_machine("Halvaro.exe", False)
    assert service_start_frames(board)[1:3] == ["8A 08 00 6D", "8A 03 31 41"]
    simaudio("mute", "on")
    assert service_start_frames(board)[2] == "8A 03 00 72"
    # No audio device at all: 0, and the service still starts and stops.
    simaudio("default", "none")
    assert service_start_frames(board)[2] == "8A 03 00 72"

    # The mixer machine: bounds 0 to 100 at 40 send 40.
    set_mixer_machine("Halvaro.exe", True)
    simmixer("bounds", "0", "100")
    simmixer("volume", "40")
    assert service_start_frames(board)[1:3] == ["8A 08 00 6D", "8A 03 28 4A"]
