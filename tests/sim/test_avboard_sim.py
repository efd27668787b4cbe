"""Checks of the AV-board simulator itself, through its pty, without Wine."""
import json, os, select, signal, subprocess, sys, termios, time, tty
from pathlib import Path

import pytest

SIM = Path(__file__).resolve().parents[2] / "sim" / "avboard" / "avboard_sim.py"
sys.path.insert(0, str(SIM.parent))
from avboard_sim import AvBoard, checksum  # noqa: E402

QUERY = bytes.fromhex("6A0194")
ACK = b"\xF0\x0F"


def set_frame(cmd, value):
    body = bytes([0x8A, cmd, value])
    return body + bytes([checksum(body)])


def read_for(fd, seconds, want=None):
    """Collect what arrives within `seconds` (stop early once `want` bytes are in)."""
    out, end = b"", time.perf_counter() + seconds
    while want is None or len(out) < want:
        left = end - time.perf_counter()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        out += os.read(fd, 64)
    return out


@pytest.fixture
def board(tmp_path):
    with AvBoard(tmp_path / "com7") as b:
        yield b


@pytest.fixture
def port(board):
    fd = os.open(board.link_path, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    yield fd
    os.close(fd)


def test_checksums():
    assert checksum(b"\x6A\x01") == 0x94
    assert set_frame(3, 50) == bytes.fromhex("8A033240")
    assert set_frame(8, 1) == bytes.fromhex("8A08016C")


def test_link_points_at_pty(board):
    assert os.readlink(board.link_path) == board.slave_name
    assert board.slave_name.startswith("/dev/pts/")


def test_query_is_acknowledged_and_recorded(board, port):
    os.write(port, QUERY)
    assert read_for(port, 1.0, want=2) == ACK
    assert board.wait_frames(1, 1.0)
    (f,) = board.frames()
    assert (f.data, f.kind, f.value, f.checksum_ok) == (QUERY, "query", None, True)
    assert f.t <= time.perf_counter() and abs(f.t_wall - time.time()) < 5


def test_split_frame_is_reassembled(board, port):
    frame = set_frame(3, 50)
    os.write(port, frame[:2])
    time.sleep(0.03)
    assert read_for(port, 0.05) == b""
    os.write(port, frame[2:])
    assert read_for(port, 1.0, want=2) == ACK
    assert board.wait_frames(1, 1.0)
    (f,) = board.frames()
    assert (f.data, f.kind, f.value, f.checksum_ok) == (frame, "set_volume", 50, True)


def test_bad_checksum_recorded_not_acknowledged(board, port):
    os.write(port, bytes.fromhex("8A033241"))
    assert board.wait_frames(1, 1.0)
    assert read_for(port, 0.15) == b""
    (f,) = board.frames()
    assert (f.kind, f.value, f.checksum_ok) == ("set_volume", 50, False)
    assert board.volume_shown is None


def test_junk_bytes_and_frame_kinds(board, port):
    os.write(port, b"\x55" + QUERY + set_frame(2, 7) + set_frame(8, 0) + set_frame(5, 9))
    assert read_for(port, 1.0, want=8) == ACK * 4
    assert board.wait_frames(5, 1.0)
    kinds = [(f.kind, f.value, f.checksum_ok) for f in board.frames()]
    assert kinds == [("junk", None, False), ("query", None, True), ("hotkey_volume", 7, True),
                     ("disc_state", 0, True), ("unknown_set", 9, True)]
    board.clear()
    assert board.frames() == []


@pytest.mark.parametrize("behaviour, reply", [
    ("zeros", b"\0\0"), ("f0", b"\xF0"), ("silent", b""), ("one", b"\x5A")])
def test_other_answers(board, port, behaviour, reply):
    board.behaviour, board.reply_byte = behaviour, 0x5A
    os.write(port, set_frame(3, 20))
    assert read_for(port, 0.15) == reply
    assert board.wait_frames(1, 1.0)


def test_behaviour_changes_at_run_time(board, port):
    board.behaviour = "silent"
    os.write(port, QUERY)
    assert read_for(port, 0.1) == b""
    board.behaviour = "ack"
    os.write(port, QUERY)
    assert read_for(port, 1.0, want=2) == ACK
    with pytest.raises(ValueError):
        board.behaviour = "bogus"


def test_delay(board, port):
    board.behaviour, board.delay_ms = "delay", 100
    t0 = time.perf_counter()
    os.write(port, QUERY)
    assert read_for(port, 1.0, want=2) == ACK
    assert 0.095 <= time.perf_counter() - t0 < 0.5


def test_display_state_follows_frames(board, port):
    assert (board.volume_shown, board.disc_state) == (None, None)
    for frame, state in [(set_frame(2, 30), (30, None)), (set_frame(8, 1), (30, 1)),
                         (set_frame(3, 0), (0, 1)), (set_frame(8, 0), (0, 0))]:
        os.write(port, frame)
        assert read_for(port, 1.0, want=2) == ACK
        assert (board.volume_shown, board.disc_state) == state


def test_inject_reaches_the_port(board, port):
    board.inject(b"\x12\x34\x56")
    assert read_for(port, 1.0, want=3) == b"\x12\x34\x56"


def test_line_speed_round_trip(tmp_path):
    with AvBoard(tmp_path / "com7", line_speed=True, baud=9600) as board:
        fd = os.open(board.link_path, os.O_RDWR | os.O_NOCTTY)
        try:
            tty.setraw(fd)
            times = []
            for _ in range(3):
                t0 = time.perf_counter()
                os.write(fd, set_frame(3, 50))
                assert read_for(fd, 1.0, want=2) == ACK
                times.append(time.perf_counter() - t0)
            # 6 bytes of 10 bits at 9600 baud = 6.25 ms (the upper bound allows for a
            # loaded machine; it still tells 9600 from ten times slower)
            assert all(0.0060 <= t < 0.060 for t in times) or min(times) < 0.030, times
        finally:
            os.close(fd)


def test_configured_baud_follows_port_settings(tmp_path):
    with AvBoard(tmp_path / "com7", line_speed=True) as board:
        fd = os.open(board.link_path, os.O_RDWR | os.O_NOCTTY)
        try:
            tty.setraw(fd)
            attrs = termios.tcgetattr(fd)
            attrs[4] = attrs[5] = termios.B1200
            termios.tcsetattr(fd, termios.TCSANOW, attrs)
            assert board.configured_baud() == 1200
            t0 = time.perf_counter()
            os.write(fd, QUERY)      # 5 bytes of 8.33 ms each at 1200 baud
            assert read_for(fd, 1.0, want=2) == ACK
            took = time.perf_counter() - t0
            assert 0.040 <= took < 0.400, took
        finally:
            os.close(fd)


def test_close_removes_link_and_replaces_stale_one(tmp_path):
    link = tmp_path / "com7"
    link.symlink_to("/dev/null")
    board = AvBoard(link).start()
    assert os.readlink(link) == board.slave_name
    board.close()
    assert not os.path.lexists(link)
    board.close()   # second close does nothing


def test_cli(tmp_path):
    link, log = tmp_path / "com7", tmp_path / "frames.jsonl"
    proc = subprocess.Popen([sys.executable, str(SIM), "--link", str(link), "--log", str(log)],
                            stdout=subprocess.PIPE, text=True)
    try:
        ready = proc.stdout.readline()
        assert ready.startswith(f"board ready on {link} -> /dev/pts/")
        fd = os.open(link, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(fd)
        os.write(fd, set_frame(3, 50))
        assert read_for(fd, 2.0, want=2) == ACK
        line = proc.stdout.readline()
        assert "8A 03 32 40" in line and "set volume 50" in line and "ok" in line
        assert "display: volume 50, disc: unknown" in line
        os.write(fd, set_frame(8, 1))
        assert read_for(fd, 2.0, want=2) == ACK
        assert "disc: present" in proc.stdout.readline()
        os.write(fd, b"\x55" + set_frame(5, 1))
        assert read_for(fd, 2.0, want=2) == ACK
        junk, unknown = proc.stdout.readline(), proc.stdout.readline()
        assert "] 55 " in junk and "junk byte" in junk and "BAD" in junk
        assert "unknown command 05 value 1" in unknown and " ok " in unknown
        os.close(fd)
    finally:
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(5) == 0
    entries = [json.loads(s) for s in log.read_text().splitlines()]
    assert [(e["hex"], e["kind"], e["value"], e["checksum_ok"]) for e in entries] == [
        ("8A 03 32 40", "set_volume", 50, True), ("8A 08 01 6C", "disc_state", 1, True),
        ("55", "junk", None, False), (set_frame(5, 1).hex(" ").upper(), "unknown_set", 1, True)]
    assert not os.path.lexists(link)
