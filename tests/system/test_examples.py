"""The example clients of docs/protocol.md, written from the document alone, against the
service: a hotkey's code reaches the subscribe example, the volume example's level reaches the
board, and neither sends anything to a pipe that another program holds."""
import subprocess
import threading

from conftest import (BOARD_PORT, WINE, firmware, program, reg_get, reg_set, sent, set_frame,
                      start_service, stop_service, wait_until, wine)

PIPE_TIMEOUT = 10


def test_subscribe_example_prints_the_pressed_code(clean_service, firmware_reset):
    start_service()
    assert wait_until(lambda: reg_get("CurrentServiceMode") == 1, 10)
    example = subprocess.Popen([WINE, program("subscribe_client.exe"), "30"],
                               stdout=subprocess.PIPE, text=True)
    lines = []
    reader = threading.Thread(target=lambda: lines.extend(l.strip() for l in example.stdout),
                              daemon=True)
    reader.start()
    try:
        assert wait_until(lambda: lines, 15), "the example did not subscribe"
        firmware("press", "0x42")
        assert example.wait(30) == 0
        reader.join(5)
        assert lines == ["subscribed result=0x00000000", "code=0x42",
                         "unsubscribed result=0x00000000"]
    finally:
        example.kill()
        example.wait()


def test_volume_example_sets_the_board_volume(clean_service, board):
    reg_set("ComPort", BOARD_PORT)
    start_service()
    assert board.wait_frames(3, 15)
    board.clear()
    done = wine(program("av_volume_client.exe"), "40")
    assert (done.returncode, done.stdout) == (0, "result=0x00000000 board=1\ndone\n"), done
    assert wait_until(lambda: sent(board) == [set_frame(40)], PIPE_TIMEOUT), sent(board)

    # A header-only reply: the example reads no data block and says so.
    board.behaviour = "silent"
    refused = wine(program("av_volume_client.exe"), "30")
    assert (refused.returncode, refused.stdout) == (1, "result=0x80000008 board=0\n"
                                                       "not acknowledged\n"), refused

    # A name taken before the service's start: the example sends nothing to its holder.
    stop_service()
    board.behaviour = "ack"
    board.clear()
    squatter = subprocess.Popen([WINE, program("PipeAbuse.exe"), "squat", "av", "20"],
                                stdout=subprocess.PIPE, text=True)
    try:
        assert squatter.stdout.readline().strip() == "squatting"
        start_service()
        assert board.wait_frames(3, 15)  # the service runs on, without that pipe
        board.clear()
        held = wine(program("av_volume_client.exe"), "50")
        assert held.returncode == 4 and "held by another program" in held.stderr, held
        assert sent(board) == []
    finally:
        squatter.kill()
        squatter.wait()
        stop_service()  # the next test's service has its own pipe names
