"""The serial link and the board commands against the simulated board on a real COM port."""
import subprocess
import time

from conftest import BOARD_PORT, driver, hexes, program, wine, WINE

PORT = BOARD_PORT


def test_acknowledged_commands_send_one_frame_each(board):
    # Stale bytes waiting in the port are purged before the frame goes out; read as the
    # reply they would make the frame go out twice.
    board.inject(b"\x00\x00")
    time.sleep(0.1)
    assert driver(PORT, 9600, "query")["result"] == "1"
    assert hexes(board.frames()) == ["6A 01 94"]

    for command, value, frame in (("volume", 150, "8A 03 64 0E"),
                                  ("volume", 0xFFFFFFFF, "8A 03 64 0E"),
                                  ("volume", 50, "8A 03 32 40"),
                                  ("hotkey", 0, "8A 02 00 73"),
                                  ("disc", 1, "8A 08 01 6C"),
                                  ("disc", 0xC8, "8A 08 C8 A5")):
        board.clear()
        assert driver(PORT, 9600, command, value)["result"] == "1"
        assert hexes(board.frames()) == [frame], (command, value)
    assert board.disc_state == 0xC8
    assert board.volume_shown == 0
    assert board.configured_baud() == 9600


def test_board_answering_zeros_gets_the_attempt_limit(board):
    board.behaviour = "zeros"
    for command, limit in (("query", 200), ("hotkey", 200), ("volume", 10), ("disc", 10)):
        board.clear()
        assert driver(PORT, 9600, command, 30)["result"] == "0"
        frames = board.frames()
        assert len(frames) == limit, command
        assert len(set(hexes(frames))) == 1


def test_silent_board_costs_one_frame_and_about_a_second(board):
    board.behaviour = "silent"
    out = driver(PORT, 9600, "volume", 20)
    assert out["result"] == "0"
    assert 900 <= float(out["elapsed_ms"]) < 3000
    assert hexes(board.frames()) == ["8A 03 14 5E"]


def test_half_answer_makes_the_frame_go_out_again(board):
    board.behaviour = "f0"
    sender = subprocess.Popen([WINE, program("AvBoardDriver.exe"), str(PORT), "9600", "disc", "1"],
                              stdout=subprocess.PIPE, text=True)
    try:
        assert board.wait_frames(1, 10)  # within the exchange's 2 s: the next send is taken
        board.behaviour = "ack"
        out, _ = sender.communicate(timeout=30)
    finally:
        sender.kill()
    assert "result=1" in out
    frames = hexes(board.frames())
    assert len(frames) == 2 and set(frames) == {"8A 08 01 6C"}


def test_delayed_answer_is_waited_for(board):
    board.behaviour = "delay"
    board.delay_ms = 300
    out = driver(PORT, 9600, "volume", 1)
    assert out["result"] == "1"
    assert float(out["elapsed_ms"]) >= 290
    assert len(board.frames()) == 1


def test_closed_link_sends_nothing_and_fails_at_once(board):
    out = driver(PORT, 9600, "closed")
    for command in ("query", "hotkey", "volume", "disc"):
        assert out[command] == "0"
    assert out["write"] == "0" and out["read"] == "0"
    assert board.frames() == []


def test_missing_port_gives_up_after_fifty_attempts():
    for port in (0, 9):  # no port 0 exists; COM9 is not mapped in the prefix
        out = driver(port, 9600, "open-retry")
        assert out["open"] == "0"
        assert 900 <= float(out["open_ms"]) < 5000, out
        for command in ("query", "hotkey", "volume", "disc"):
            assert out[command] == "0"
        assert out["write"] == "0" and out["read"] == "0"


def test_reopening_closes_the_port_first_and_closing_twice_is_harmless(board):
    out = driver(PORT, 9600, "reopen")
    assert out["open"] == "1"
    assert out["reopen"] == "1"  # the port is exclusive: only possible after closing it
    assert out["closed_open_flag"] == "0"
    assert out["query"] == "0" and out["write"] == "0"
    assert board.frames() == []


def test_time_outs_are_set_lazily_and_the_interval_is_kept(board):
    board.behaviour = "silent"
    out = driver(PORT, 9600, "timeouts")
    assert out["before"] == "7,3,55,4,66"
    assert out["after_write"] == "7,3,55,0,1000"
    assert out["after_read"] == "7,0,1000,0,1000"


def test_concurrent_senders_never_interleave_frames(board):
    out = driver(PORT, 9600, "flood", 6, 25)
    assert out["acks"] == out["total"] == "150"
    frames = board.frames()
    assert len(frames) == 150
    assert all(f.checksum_ok and f.kind != "junk" for f in frames)


def test_configured_baud_rate_reaches_the_port(board):
    assert driver(PORT, 19200, "query")["result"] == "1"
    assert board.configured_baud() == 19200


def test_each_answer_is_judged_by_its_own_bytes(board):
    # "12 0F", then a lone F0: left over from the first, the second would read F0 0F.
    board.behaviour = "halves"
    board.clear()
    out = driver(PORT, 9600, "disc", 1)
    assert out["result"] == "0"
    assert len(board.frames()) >= 2


def test_a_half_answering_board_holds_the_line_for_one_exchange_deadline(board):
    board.behaviour = "f0"
    for command in ("query", "hotkey", "volume"):
        out = driver(PORT, 9600, command, 30)
        assert out["result"] == "0"
        assert float(out["elapsed_ms"]) < 3000, (command, out)  # 200 tries of 1 s before
