"""Recovery without a restart of the service: a board whose port was unplugged and plugged
back, and a firmware provider that restarted under the event listener; and what the service
tells the event log of each, once per change."""
import time

from conftest import (AvBoard, BOARD_PORT, MESSAGES, ServicesLog, Watcher, client, com_link, firmware,
                      firmware_status, hotkey_frame, program, reg_get, reg_set, sent,
                      service_pids, set_frame, start_on_board, start_service, stop_seconds,
                      stop_service, wait_until, wine)

QUERY = "6A 01 94"
EMPTY_DRIVE = "8A 08 00 6D"
UNTAKEN_CODE = 0x51  # a code the service leaves to its subscribers


def connect_gaps():
    """Milliseconds between the simulated firmware's last connection attempts."""
    line = next(l for l in firmware("status").splitlines() if l.startswith("connect_gaps="))
    return [int(g) for g in line.split("=", 1)[1].split(",") if g]


def resume():
    assert wine(program("SimPower.exe"), "resume").stdout.strip() == "result 1"


def greeted(board, within):
    """The board is queried first, then sent the disc state and a volume, as at start."""
    assert board.wait_frames(3, within), sent(board)
    frames = sent(board)
    assert frames[0] == QUERY and EMPTY_DRIVE in frames[1:], frames
    assert any(f.startswith("8A 03 ") for f in frames[1:]), frames


def names(messages):
    return [name for name, _ in messages]


def test_a_board_absent_at_start_is_greeted_once_plugged_in(clean_service, firmware_reset,
                                                            audio_reset):
    reg_set("ComPort", BOARD_PORT)  # nothing at the far end of the name yet
    reg_set("EMAMaxRegister", 0)  # counts as 1
    log = ServicesLog()
    start_service()
    assert wait_until(lambda: reg_get("CurrentServiceMode") == 1, 10)
    said = log.messages()
    assert ("MSG_SETTING_OUT_OF_RANGE", ["EMAMaxRegister", "0", "1"]) in said, said
    started = [strings for name, strings in said if name == "MSG_SERVICE_STARTED"]
    assert len(started) == 1 and started[0][1:] == ["1", str(BOARD_PORT), "9600", "0",
                                                    "audio endpoint"], said
    absent = [strings for name, strings in said if name == "MSG_BOARD_ABSENT_AT_START"]
    assert len(absent) == 1 and absent[0][0] == str(BOARD_PORT), said  # not one per attempt
    assert "MSG_BOARD_LOST" not in names(said), said
    with AvBoard(com_link(BOARD_PORT)) as board:
        greeted(board, 10)  # within a period of the port's check
        assert ("MSG_BOARD_BACK", [str(BOARD_PORT)]) in log.messages()
        # Unplugged and plugged back, the board is greeted at once after a resume rather
        # than at the next look (every 3 s). Four rounds, so that a look that merely fell
        # right does not pass for the resume's, and the log's budget for the port is spent.
        board.close()
    for _ in range(4):
        resume()  # the dead handle is noticed at once
        with AvBoard(com_link(BOARD_PORT)) as board:
            resume()
            resumed = time.monotonic()
            assert board.wait_frames(1, 10), "never greeted"
            took = time.monotonic() - resumed
            assert took < 1.0, f"greeted {took:.2f} s after the resume"
            greeted(board, 10)
            board.close()
    stop_service()

    # Each loss and return once, until the budget of its kind is spent; then one notice.
    said = log.messages()
    held_back = [strings for name, strings in said if name == "MSG_ENTRIES_HELD_BACK"]
    assert len(held_back) == 2, said
    for name, changes in (("MSG_BOARD_LOST", 4), ("MSG_BOARD_BACK", 5)):
        code = str(MESSAGES[name] & 0xFFFF)
        notice = next(strings for strings in held_back if strings[0] == code)
        written = names(said).count(name)
        assert 0 < written == int(notice[1]) < changes, said
    assert names(said)[-1] == "MSG_SERVICE_STOPPED" and names(said).count("MSG_SERVICE_STOPPED") == 1


def test_a_board_unplugged_and_plugged_back_is_greeted_again(clean_service, board,
                                                             firmware_reset, audio_reset):
    start_on_board(board)
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
        assert stop_seconds() < 2.5


def test_a_silent_board_is_not_taken_for_an_unplugged_one(clean_service, board,
                                                          firmware_reset, audio_reset):
    board.behaviour = "silent"
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
    log = ServicesLog()
    start_on_board(board)
    pid = service_pids()
    watcher = Watcher(120)
    try:
        # A working listener is never made again, not even at a resume.
        queries = firmware_status()["queries"]
        resume()
        time.sleep(2)
        assert firmware_status()["queries"] == queries

        # Four failing calls in a row are ridden out; the fifth counts the connection broken.
        connections = firmware_status()["connections"]
        for failures, code, reconnects in ((4, 0x58, 0), (5, 0x59, 1)):
            before = firmware_status()["next_failures"]
            firmware("failnext", failures)
            assert wait_until(lambda: firmware_status()["next_failures"] == before + failures,
                              10)
            firmware("press", hex(code))
            assert wait_until(lambda: code in watcher.codes(), 10), (watcher.lines,
                                                                     firmware_status())
            assert firmware_status()["connections"] == connections + reconnects

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
        # Well within the 8 s pause that the resume cut short.
        assert wait_until(lambda: 0x53 in watcher.codes(), 5), (watcher.lines, firmware_status())
        # The pause doubled between the attempts: 1 s after the break, then 2 s, then 4 s.
        gaps = connect_gaps()[-3:-1]  # the last one is the resume's
        assert 2000 <= gaps[0] < 3000 and 4000 <= gaps[1] < 5000, connect_gaps()
        assert reg_get("CurrentServiceMode") == 1
    finally:
        watcher.close()
    assert service_pids() == pid
    # Three breaks (the five failing calls, then the provider twice), each told once with
    # its repair, however many attempts the repair took.
    said = [(name, strings) for name, strings in log.messages()
            if name.startswith("MSG_LISTENER")]
    assert names(said) == ["MSG_LISTENER_BROKEN", "MSG_LISTENER_RUNNING_AGAIN"] * 3, said
    assert said[0][1][0] == "5", said  # the failures in a row

    # A start while the provider is down comes up by itself once it is back, with no client.
    stop_service()
    firmware("fault", "broken", "on")
    log = ServicesLog()
    attempts = firmware_status()["connect_attempts"]
    start_service()
    assert wait_until(lambda: reg_get("CurrentServiceMode") == 0, 10)
    assert wait_until(lambda: firmware_status()["connect_attempts"] >= attempts + 2, 10)
    firmware("fault", "broken", "off")
    assert wait_until(lambda: reg_get("CurrentServiceMode") == 1, 10)
    firmware("press", "0x54")
    assert wait_until(lambda: client("last")["code"] == str(0x54), 10)
    said = [(name, strings) for name, strings in log.messages()
            if name.startswith("MSG_LISTENER")]
    assert names(said) == ["MSG_LISTENER_NOT_STARTED", "MSG_LISTENER_RUNNING_AGAIN"], said
    assert said[0][1][0] and len(said[0][1][1]) == 8, said  # the call and its result


def test_a_slow_provider_holds_up_neither_a_subscribe_nor_the_stop(clean_service,
                                                                     firmware_reset):
    firmware("fault", "connect", "on")  # the start fails: the retry thread keeps trying
    start_service()
    assert wait_until(lambda: reg_get("CurrentServiceMode") == 0, 10)
    firmware("fault", "connect", "off")
    firmware("fault", "slow", "on")  # every connection now takes 10 s
    # The subscribe leaves the start to the retry thread and waits 2 s for it; before, it
    # made the connection itself, under the listener's lock that the stop waits for.
    began = time.monotonic()
    assert client("subscribe", 0x1234)["result"] == "0x8000000A"
    assert time.monotonic() - began < 6
    assert stop_seconds() < 6
