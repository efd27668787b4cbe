"""Hotkeys the service takes itself, and the board's volume display kept in step with the
master volume, on the simulated machine."""
import subprocess
import threading
import time

from conftest import (SERVICE, WINE, ServicesLog, Watcher, firmware, frame, hotkey_frame,
                      program, raw, reg_get, reg_set, sent, service_pids, set_frame, simaudio,
                      simdrive, simmixer, start_on_board, start_service, stop_service,
                      volume_driver, wait_until, wine)

FRAME_TIMEOUT = 10


def expect_frames(board, frames, settle=0.0):
    assert wait_until(lambda: len(board.frames()) >= len(frames), FRAME_TIMEOUT), sent(board)
    time.sleep(settle)
    assert sent(board) == frames
    board.clear()


def change_level(board, level, percent):
    """Another program's change, and the Set volume frame it brings."""
    simaudio("level", level)
    expect_frames(board, [set_frame(percent)])


def test_volume_keys_on_the_endpoint(clean_service, board, audio_reset, firmware_reset):
    start_on_board(board)
    board.clear()
    firmware("press", "0xC0")  # 32767 reads 50 rounded up: 51 is sent and set
    expect_frames(board, [hotkey_frame(51)], settle=1.5)  # and not sent again as a change
    assert volume_driver("info")["volume"] == "33422"

    change_level(board, "1.0", 100)
    firmware("press", "0xC1")
    expect_frames(board, [hotkey_frame(99)], settle=0.5)
    assert volume_driver("info")["volume"] == "64878"  # 64879 set, read back one less

    watcher = Watcher()
    try:
        change_level(board, "1.0", 100)
        firmware("press", "0xC0")  # at 100: nothing happens, the subscribers hear of it
        assert wait_until(lambda: 0xC0 in watcher.codes(), FRAME_TIMEOUT), watcher.lines
        change_level(board, "0.0", 0)
        firmware("press", "0xC1")
        assert wait_until(lambda: 0xC1 in watcher.codes(), FRAME_TIMEOUT), watcher.lines
        assert volume_driver("info")["volume"] == "0"
    finally:
        watcher.close()

    # Keys are taken in order, so a frame that either key at its end sent would come before
    # this key's own.
    firmware("press", "0xC0")
    expect_frames(board, [hotkey_frame(1)], settle=0.5)
    assert volume_driver("info")["volume"] == "655"

    # A key while muted brings the sound back; the unmute is a change the board then hears.
    simaudio("mute", "on")
    expect_frames(board, [set_frame(0)])
    firmware("press", "0xC0")
    assert wait_until(lambda: set_frame(2) in sent(board), FRAME_TIMEOUT), sent(board)
    assert sent(board)[0] == hotkey_frame(2)
    assert volume_driver("info")["muted"] == "0"

    # A level that the system refuses (wine's own endpoint answers E_NOTIMPL): the board is
    # set back to the level in force; it kept showing the refused one before.
    board.clear()
    simaudio("fault", "set", "on")
    try:
        firmware("press", "0xC0")
        expect_frames(board, [hotkey_frame(3), hotkey_frame(2)], settle=0.5)
    finally:
        simaudio("fault", "set", "off")


def test_volume_keys_on_the_mixer(clean_service, board, mixer_machine, firmware_reset):
    simmixer("bounds", "0", "100")
    simmixer("volume", "40")
    simmixer("mute", "on")
    start_on_board(board)
    board.clear()
    firmware("press", "0xC0")  # muted: the sound comes back, then the level goes up
    assert wait_until(lambda: hotkey_frame(41) in sent(board), FRAME_TIMEOUT), sent(board)
    assert wait_until(lambda: simmixer("status")["mute"] == "0", FRAME_TIMEOUT)
    assert simmixer("status")["volume"] == "41"
    firmware("press", "0xC1")
    assert wait_until(lambda: simmixer("status")["volume"] == "40", FRAME_TIMEOUT)
    assert hotkey_frame(40) in sent(board)


def test_mirror_and_debounce(clean_service, board, audio_reset, firmware_reset):
    start_on_board(board)  # no debounce: every new percentage goes at once
    board.clear()
    volume_driver("set", raw(40), raw(41), raw(41))
    expect_frames(board, [set_frame(40), set_frame(41)], settle=1.0)
    stop_service()

    reg_set("ComCmdTimeFrame", 500)
    start_service()
    assert board.wait_frames(3, 15)
    assert wait_until(lambda: reg_get("CurrentServiceMode") == 1, 10)  # the start is over
    time.sleep(0.5)
    board.clear()
    # (The start read 41 rounded down, 40: a change to 40 would send nothing.)
    volume_driver("set", raw(30), raw(31), raw(32), raw(33))
    expect_frames(board, [set_frame(30), set_frame(33)], settle=1.0)
    volume_driver("set", raw(50), raw(51), raw(50))  # back where it began: nothing at the end
    expect_frames(board, [set_frame(50)], settle=1.0)

    # Muted, every change shows 0, also inside a period.
    volume_driver("set", raw(60))
    simaudio("mute", "on")
    simaudio("level", "0.7")
    assert wait_until(lambda: sent(board).count(set_frame(0)) >= 2, FRAME_TIMEOUT), sent(board)
    assert sent(board)[0] == set_frame(60)


def test_av_mode_keeps_the_machine_awake_and_reaches_subscribers(clean_service, board,
                                                                firmware_reset):
    start_on_board(board)
    log = ServicesLog()
    awake, released = 0x80000003, 0x80000000  # ES_CONTINUOUS with system and display, alone
    watcher = Watcher()
    try:
        firmware("press", "0xC4")
        assert wait_until(lambda: reg_get("CurrentAVMode") == 1, FRAME_TIMEOUT)
        firmware("press", "0xC4")  # already on: nothing more is asked
        firmware("press", "0xC5")
        assert wait_until(lambda: watcher.codes() == [0xC4, 0xC4, 0xC5], FRAME_TIMEOUT), \
            watcher.lines
        assert reg_get("CurrentAVMode") == 0
        assert wait_until(lambda: log.execution_states() == [awake, released], FRAME_TIMEOUT), \
            log.lines()
        firmware("press", "0xC5")  # already off
        firmware("press", "0xC4")
        assert wait_until(lambda: reg_get("CurrentAVMode") == 1, FRAME_TIMEOUT)
    finally:
        watcher.close()
    stop_service()  # the stop lets go of the machine
    assert log.execution_states() == [awake, released, awake, released], log.lines()


def test_eject_empties_the_drive_and_the_board_learns_it(clean_service, board, drive_empty,
                                                          firmware_reset):
    start_on_board(board)
    board.clear()
    simdrive("insert")
    expect_frames(board, [frame(0x08, 1)])  # within the 1 s poll
    ejects = int(simdrive("status")["ejects"])
    watcher = Watcher()
    try:
        firmware("press", "0xC6")
        expect_frames(board, [frame(0x08, 0)])
        assert simdrive("status") == {"media": "0", "ejects": str(ejects + 1)}
        for _ in range(2):  # a second and a third eject work too
            firmware("press", "0xC6")
        assert wait_until(lambda: simdrive("status")["ejects"] == str(ejects + 3), FRAME_TIMEOUT)
        firmware("press", "0x42")
        assert wait_until(lambda: watcher.codes() == [0x42], FRAME_TIMEOUT), watcher.lines
    finally:
        watcher.close()


def test_stop_under_load_is_prompt_and_leaves_the_endpoint_alone(clean_service, board,
                                                                 audio_reset, firmware_reset):
    """Stops while volume changes, volume keys and AV-command requests keep coming."""
    start_on_board(board)
    done = threading.Event()
    errors = []
    taken = {"presses": 0, "requests": 0}

    def keep_going(action):
        try:
            while not done.is_set():
                action()
        except Exception as error:  # reported by the test's own thread
            errors.append(repr(error))

    def press(code):
        # While the service restarts, presses queue up; a full queue is waited out, not a
        # reason to stop the load.
        result = wine(program("SimFirmware.exe"), "press", code)
        if result.returncode == 0:
            taken["presses"] += 1
        elif "queue full" in result.stderr:
            time.sleep(0.2)
        else:
            raise AssertionError(f"press {code}: {result.returncode} {result.stderr}")

    def av_request():
        subprocess.run([WINE, program("SimClient.exe"), "av", "set", "30"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        taken["requests"] += 1

    churn = subprocess.Popen([WINE, program("VolumeDriver.exe"), "churn", "120"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    loads = [threading.Thread(target=keep_going, args=(a,)) for a in
             (lambda: press("0xC0"), lambda: press("0xC1"), av_request)]
    for load in loads:
        load.start()
    stop_times = []
    try:
        for _ in range(3):
            before = dict(taken)
            # the load reaches the running service
            assert wait_until(lambda: taken["presses"] >= before["presses"] + 4 and
                              taken["requests"] >= before["requests"] + 2, 30), (taken, errors)
            began = time.monotonic()
            wine("sc", "stop", SERVICE)
            assert wait_until(lambda: not service_pids(), 10), "service process still running"
            stop_times.append(time.monotonic() - began)
            start_service()
    finally:
        done.set()
        for load in loads:
            load.join()
        churn.kill()
        churn.wait()
    print("stop times under load:", ", ".join(f"{t:.2f} s" for t in stop_times))
    assert not errors, errors
    assert max(stop_times) < 5, stop_times
    stop_service()
    status = simaudio("status")
    assert all(d.get("callbacks", "0") == "0" for d in status if "device" in d), status
    assert any(d.get("calls_after_release") == "0" for d in status), status
