"""The AV-command pipe against the simulated board: each operation, each result code, and
the data block sent back whole."""
from conftest import BOARD_PORT, client, reg_set, start_service, stop_service, wait_until
from conftest import hotkey_frame, set_frame, sent

FRAME_TIMEOUT = 10


def av(*args):
    return client("av", *args)


def test_operations_results_and_layouts(clean_service, board):
    reg_set("ComPort", BOARD_PORT)
    start_service()
    assert board.wait_frames(3, 15)
    board.clear()

    assert av("query") == {"reply": "0x81", "result": "0x00000000", "length": "2",
                           "data_bytes": "2", "data": "00,01"}
    # Level 150: the frame carries 100, the reply the board's answer.
    out = av("hotkey", 150)
    assert (out["result"], out["data"]) == ("0x00000000", "01,01")
    assert wait_until(lambda: sent(board) == [hotkey_frame(100)], FRAME_TIMEOUT), sent(board)
    board.clear()
    assert av("set", 40)["data"] == "02,01"
    assert wait_until(lambda: sent(board) == [set_frame(40)], FRAME_TIMEOUT), sent(board)

    # The whole block of 4096 bytes comes back.
    out = av("query", 4096)
    assert (out["length"], out["data_bytes"]) == ("4096", "4096")

    # Unknown command: 0xFF, no data; bad lengths: -1; short block and unknown operation.
    out = av("raw", "02", "5A", "02", "00", "DE", "AD", "BE", "EF", "00", "01")
    assert (out["reply"], out["result"], out["length"]) == ("0xFF", "0xEFBEADDE", "0")
    for length in (("00", "00"), ("01", "10")):  # 0 and 4097
        out = av("raw", "01", "00", *length, "00", "00", "00", "00")
        assert (out["result"], out["length"], out["data_bytes"]) == ("0xFFFFFFFF", "0", "0")
    out = av("raw", "01", "00", "01", "00", "00", "00", "00", "00", "02")
    assert (out["result"], out["data_bytes"]) == ("0x8000000A", "0")
    out = av("raw", "01", "00", "02", "00", "00", "00", "00", "00", "03", "10")
    assert (out["result"], out["data_bytes"]) == ("0x8000000A", "0")

    # A block in pieces is read whole within the request time limit, and carried out as
    # sent (a block 1.6 s late was taken as zeros: a query answered as success).
    assert av("split", 1500)["data"] == "00,01,AB,AB,AB,AB,AB,AB"
    board.clear()
    out = av("late", 1600)
    assert (out["result"], out["data"]) == ("0x00000000", "01,01")
    assert wait_until(lambda: sent(board) == [hotkey_frame(30)], FRAME_TIMEOUT), sent(board)
    # One that never comes whole is refused as a bad length, and nothing reaches the board.
    board.clear()
    out = av("raw", "01", "00", "02", "00", "00", "00", "00", "00", "01")
    assert (out["result"], out["data_bytes"]) == ("0xFFFFFFFF", "0")
    assert sent(board) == []

    # The board gone silent: not acknowledged, no data.
    board.behaviour = "silent"
    out = av("set", 30)
    assert (out["result"], out["length"], out["data_bytes"]) == ("0x80000008", "0", "0")

    # No board at all on the port: the same, and the query still answers.
    stop_service()
    reg_set("ComPort", 9)
    start_service()
    assert wait_until(lambda: av("query")["result"] == "0x00000000", FRAME_TIMEOUT)
    out = av("hotkey", 30)
    assert (out["result"], out["length"], out["data_bytes"]) == ("0x80000008", "0", "0")
