"""The service on the simulated machine with the simulated board on its COM port."""
import subprocess
import time

from conftest import (AvBoard, BOARD_PORT, SERVICE, WINE, com_link, driver, firmware,
                      hexes, hotkey_frame, program, reg_get, reg_set, sent,
                      start_service, stop_seconds, stop_service, wait_until, wine)




def prepare_key():
    """Nothing to do beyond `clean_service`: the service is installed and stopped, its key
    has no values."""


def test_start_queries_the_board_and_sends_the_disc_state(clean_service, board):
    prepare_key()
    board.clear()
    reg_set("ComPort", BOARD_PORT)
    reg_set("BuadRate", 19200)
    start_service()
    assert board.wait_frames(3, 10)
    assert hexes(board.frames())[:2] == ["6A 01 94", "8A 08 00 6D"]  # an empty drive
    assert hexes(board.frames())[2].startswith("8A 03 ")  # then the start volume
    assert board.configured_baud() == 19200

    # The poll sends nothing while the state stays the same.
    time.sleep(2.5)
    assert len(board.frames()) == 3

    # A resume sends the state again, unchanged as it is.
    assert wine(program("SimPower.exe"), "resume").stdout.strip() == "result 1"
    assert board.wait_frames(4, 5)
    assert hexes(board.frames())[3] == "8A 08 00 6D"
    assert board.disc_state == 0

    # Other power broadcasts send nothing: the window takes broadcasts in order, so a frame
    # of the first would come before the resume's.
    board.clear()
    wine(program("SimPower.exe"), "broadcast", "4")
    assert wine(program("SimPower.exe"), "resume").stdout.strip() == "result 1"
    assert board.wait_frames(1, 5)
    time.sleep(0.5)
    assert hexes(board.frames()) == ["8A 08 00 6D"]

    stop_service()
    # The port is free for another program once the service has stopped.
    out = driver(BOARD_PORT, 9600, "query")
    assert out["open"] == "1" and out["result"] == "1"


def test_service_starts_and_stops_without_a_board_or_a_port(clean_service):
    prepare_key()
    for port in (BOARD_PORT, 9):  # a port with nobody at the far end; no such port
        reg_set("ComPort", port)
        if port == BOARD_PORT:
            with AvBoard(com_link(port), behaviour="silent") as silent:
                start_service()
                assert silent.wait_frames(1, 10)
                stop_service()
        else:
            start_service()
            assert wine(program("SimPower.exe"), "resume").stdout.strip() == "result 1"
            stop_service()


def test_stop_is_not_held_up_by_a_silent_board(clean_service):
    prepare_key()
    reg_set("ComPort", BOARD_PORT)
    with AvBoard(com_link(BOARD_PORT), behaviour="silent") as silent:
        start_service()
        # The query waits one second for its answer, the disc state another.
        assert silent.wait_frames(1, 10)
        began = time.monotonic()
        stop_service()
        assert time.monotonic() - began < 3.5


def test_a_stop_early_in_the_start_ends_promptly_and_frees_the_port(clean_service):
    """A board answering 00 00 keeps the start's query retrying; a stop at any moment of it
    ends the start's use of the port at once."""
    prepare_key()
    reg_set("ComPort", BOARD_PORT)
    query = "6A 01 94"
    with AvBoard(com_link(BOARD_PORT), behaviour="zeros") as board:
        for delay in (0.0, 0.3, 0.8):
            board.clear()
            started = wine("sc", "start", SERVICE)
            assert started.returncode == 0, started.stdout
            assert board.wait_frames(1, 10), "the start sent no query"
            time.sleep(delay)
            queries = hexes(board.frames()).count(query)
            # A stop that comes before the service has its control handler is refused by
            # wine's manager; it is asked once more (see stop_service).
            took = stop_seconds()
            assert took < 2.5, (delay, took)
            if delay > 0:
                assert queries >= 2, "the board's 00 00 was not answered by a retry"
        board.behaviour = "ack"
        assert driver(BOARD_PORT, 9600, "query")["result"] == "1"


def test_a_board_answering_half_replies_cannot_silence_the_service(clean_service, board):
    # F0 and nothing more to every frame: each send waits out the read time-out.
    board.behaviour = "f0"
    prepare_key()
    reg_set("ComPort", BOARD_PORT)
    start_service()
    assert wait_until(lambda: reg_get("CurrentServiceMode") == 1, 15)  # 220 s before
    board.clear()

    # A client's command holds the line one exchange at most; a volume key meanwhile still
    # reaches the board, and the client has its failure within the exchange's time.
    command = subprocess.Popen([WINE, program("SimClient.exe"), "av", "hotkey", "40"],
                               stdout=subprocess.PIPE, text=True)
    try:
        assert board.wait_frames(1, 10)
        firmware("press", "0xC0")  # 50 % in the simulated endpoint: 51 goes out
        assert wait_until(lambda: hotkey_frame(51) in sent(board), 10), sent(board)
        out, _ = command.communicate(timeout=10)
    finally:
        command.kill()
    assert "result=0x80000008" in out
    assert stop_seconds() < 3.0
