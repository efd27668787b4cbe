"""Recovery without a restart of the service: a board whose port was unplugged and plugged
back, and a firmware provider that restarted under the event listener."""
import time

from conftest import (AvBoard, BOARD_PORT, Watcher, client, com_link, firmware,
                      firmware_status, halvaro, hotkey_frame, install_on_board, program,
                      reg_get, reg_set, sent, service_pids, set_frame, start_service,
                      stop_seconds, stop_service, wait_until, wine)

QUERY = "6A 01 94"
EMPTY_DRIVE = "8A 08 00 6D"
UNTAKEN_CODE = 0x51  # a code the service leaves to its subscribers


def resume():
    assert wine(program("SimPower.exe"), "resume").stdout.strip() == "result 1"


def test_a_board_unplugged_and_plugged_back_is_greeted_again(clean_service, board,
                                                             firmware_reset, audio_reset):
    install_on_board(board)
    pid = service_pids()
    board.close()  # unplugged while nothing is being sent
    watcher = Watcher(90)
    try:
        firmware("press", "0xC0")  # a volume key talks to the gone board first: 50 -> 51
        firmware("press", hex(UNTAKEN_CODE))
        assert wait_until(lambda: UNTAKEN_CODE in watcher.codes(), 15), watcher.lines
    finally:
        watcher.close()

    # A new board on the same port: the query, the disc state and the volume as it is now.
    with AvBoard(com_link(BOARD_PORT)) as replugged:
        assert replugged.wait_frames(3, 10), sent(replugged)
        assert sent(replugged)[0] == QUERY
        assert sorted(sent(replugged)[1:]) == sorted([EMPTY_DRIVE, set_frame(51)])
        time.sleep(4)  # more than a period: a port that works is left alone
        assert len(replugged.frames()) == 3, sent(replugged)
        assert service_pids() == pid

        # Unplugged once more, the stop is not held up by the reconnection.
        replugged.close()
        time.sleep(1)
        began = time.monotonic()
        stop_service()
        assert time.monotonic() - began < 2.5


def test_a_silent_board_is_not_taken_for_an_unplugged_one(clean_service, board,
                                                          firmware_reset, audio_reset):
    board.behaviour = "silent"
    assert halvaro("install").stdout == "Service installed successfully\n"
    stop_service()
    reg_set("ComPort", BOARD_PORT)
    start_service()
    # Each frame waits out its answer, then the next follows.
    assert board.wait_frames(3, 10), sent(board)
    assert wait_until(lambda: reg_get("CurrentServiceMode") == 1, 10)
    firmware("press", "0xC0")
    assert board.wait_frames(4, 10), sent(board)
    time.sleep(7)  # two looks at the port: a lost port would be opened and greeted again
    assert sent(board) == [QUERY, EMPTY_DRIVE, set_frame(49), hotkey_frame(51)]


def test_a_firmware_break_is_mended_by_the_listener_itself(clean_service, board,
                                                           firmware_reset):
    install_on_board(board)
    pid = service_pids()
    watcher = Watcher(120)
    try:
        # A working listener is never made again, not even at a resume.
        queries = firmware_status()["queries"]
        resume()
        time.sleep(2)
        assert firmware_status()["queries"] == queries

        # Broken, then restored: the next attempt, a pause or two later, takes events again.
        firmware("fault", "broken", "on")
        assert wait_until(lambda: reg_get("CurrentServiceMode") == 0, 10)
        firmware("fault", "broken", "off")
        firmware("press", "0x52")
        assert wait_until(lambda: 0x52 in watcher.codes(), 10), (watcher.lines, firmware_status())
        assert reg_get("CurrentServiceMode") == 1

        # Broken long enough for the pause to have grown to 8 s: a resume cuts it short.
        attempts = firmware_status()["connect_attempts"]
        firmware("fault", "broken", "on")
        assert wait_until(lambda: firmware_status()["connect_attempts"] >= attempts + 3, 20)
        firmware("fault", "broken", "off")
        resume()
        firmware("press", "0x53")
        assert wait_until(lambda: 0x53 in watcher.codes(), 4), (watcher.lines, firmware_status())
        assert reg_get("CurrentServiceMode") == 1
    finally:
        watcher.close()
    assert service_pids() == pid

    # A start while the provider is down comes up by itself once it is back, with no client.
    stop_service()
    firmware("fault", "broken", "on")
    start_service()
    assert wait_until(lambda: reg_get("CurrentServiceMode") == 0, 10)
    firmware("fault", "broken", "off")
    assert wait_until(lambda: reg_get("CurrentServiceMode") == 1, 10)
    firmware("press", "0x54")
    assert wait_until(lambda: client("last")["code"] == str(0x54), 5)


def test_a_slow_provider_holds_up_neither_a_subscribe_nor_the_stop(clean_service,
                                                                     firmware_reset):
    firmware("fault", "connect", "on")  # the start fails: the retry thread keeps trying
    assert halvaro("install").stdout == "Service installed successfully\n"
    assert wait_until(lambda: reg_get("CurrentServiceMode") == 0, 10)
    firmware("fault", "connect", "off")
    firmware("fault", "slow", "on")  # every connection now takes 10 s
    # The subscribe leaves the start to the retry thread and waits 2 s for it; before, it
    # made the connection itself, under the listener's lock that the stop waits for.
    began = time.monotonic()
    assert client("subscribe", 0x1234)["result"] == "0x8000000A"
    assert time.monotonic() - began < 6
    assert stop_seconds() < 6
