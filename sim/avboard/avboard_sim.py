#!/usr/bin/python3
"""Simulated AV board on a pseudo-terminal.

The board is reached by the service through a COM port.  Under Wine a COM port
is a symlink in dosdevices pointing at a tty; this module creates a pty pair,
links the given path to the slave side and plays the board on the master side.

Frames: query 6A 01 94 (3 bytes); set 8A cmd value checksum (4 bytes) with cmd
0x02 hotkey volume, 0x03 set volume, 0x08 disc state.  Checksum = 0xFF - (sum of
the preceding bytes mod 256).  The board acknowledges with F0 0F.

Behaviours: "ack"    F0 0F to every frame with a good checksum, nothing otherwise
            "delay"  as "ack", but after delay_ms
            "silent" never answers
            "zeros"  00 00 to every frame
            "f0"     the single byte F0 to every frame
            "one"    the single byte reply_byte to every frame
            "garbage" never answers, but sends random bytes (never F0) without pause
            "halves" 12 0F to the 1st, 3rd, ... frame recorded, the lone byte F0 to the
                     2nd, 4th, ...: two answers whose halves together read F0 0F
Junk bytes (anything other than 6A / 8A where a frame should start) are
recorded as 1-byte frames and never answered.  The displayed state (volume,
disc) follows every frame with a good checksum, whatever the behaviour.
"""
import argparse, collections, dataclasses, json, os, random, re, select, signal, sys
import termios, threading, time, traceback, tty

ACK = b"\xF0\x0F"
BEHAVIOURS = ("ack", "silent", "zeros", "f0", "one", "delay", "garbage", "halves")
GARBAGE = bytes(b for b in range(256) if b != 0xF0)  # no byte could start an acknowledgement
SET_KINDS = {0x02: "hotkey_volume", 0x03: "set_volume", 0x08: "disc_state"}
_SPEEDS = {getattr(termios, n): int(n[1:]) for n in dir(termios) if re.fullmatch(r"B\d+", n)}


def checksum(data: bytes) -> int:
    return 0xFF - (sum(data) & 0xFF)


@dataclasses.dataclass(frozen=True)
class Frame:
    t: float            # perf_counter() when the frame was complete
    t_wall: float       # time.time() at the same moment
    data: bytes
    checksum_ok: bool
    kind: str           # query, hotkey_volume, set_volume, disc_state, unknown_set, junk
    value: int | None


def classify(data: bytes):
    """-> (kind, value, checksum_ok) of one complete frame."""
    if len(data) == 1:
        return "junk", None, False
    ok = data[-1] == checksum(data[:-1])
    if data[0] == 0x6A:
        return "query", None, ok
    return SET_KINDS.get(data[1], "unknown_set"), data[2], ok


class AvBoard:
    def __init__(self, link_path, behaviour="ack", delay_ms=0, line_speed=False,
                 baud=None, reply_byte=0x00, on_frame=None):
        self.link_path = str(link_path)
        self._lock = threading.Condition()
        self.behaviour = behaviour
        self.delay_ms, self.line_speed, self.baud = delay_ms, line_speed, baud
        self.reply_byte = reply_byte
        self.on_frame = on_frame            # called with each Frame, from the board thread
        self._records, self._volume, self._disc = [], None, None
        self._out = collections.deque()     # (due perf_counter, byte), due non-decreasing
        self._tx_free = 0.0                 # when the outgoing line is free again
        self._master = self._slave = None
        self._thread, self._stop = None, False

    # ---- configuration (thread-safe) ----
    def _prop(name, check=lambda v: v):
        def get(self):
            with self._lock:
                return getattr(self, "_" + name)
        def put(self, v):
            v = check(v)
            with self._lock:
                setattr(self, "_" + name, v)
        return property(get, put)

    def _check_behaviour(v):
        if v not in BEHAVIOURS:
            raise ValueError(f"unknown behaviour {v!r}; one of {', '.join(BEHAVIOURS)}")
        return v

    behaviour = _prop("behaviour", _check_behaviour)
    delay_ms = _prop("delay_ms", float)
    line_speed = _prop("line_speed", bool)
    baud = _prop("baud", lambda v: None if v is None else int(v))
    reply_byte = _prop("reply_byte", lambda v: int(v) & 0xFF)
    del _prop, _check_behaviour

    # ---- lifecycle ----
    def start(self):
        self._master, self._slave = os.openpty()
        tty.setraw(self._slave)
        os.set_blocking(self._master, False)
        self.slave_name = os.ttyname(self._slave)
        self._wake_r, self._wake_w = os.pipe()
        if os.path.islink(self.link_path):
            os.unlink(self.link_path)       # stale link from an earlier run
        os.symlink(self.slave_name, self.link_path)
        self._stop = False
        self._thread = threading.Thread(target=self._run, name="avboard", daemon=True)
        self._thread.start()
        return self

    def close(self):
        if self._thread is None:
            return
        self._stop = True
        os.write(self._wake_w, b"x")
        self._thread.join()
        self._thread = None
        try:
            if os.readlink(self.link_path) == self.slave_name:
                os.unlink(self.link_path)
        except OSError:
            pass
        for fd in (self._master, self._slave, self._wake_r, self._wake_w):
            os.close(fd)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()

    # ---- observation ----
    def frames(self):
        with self._lock:
            return list(self._records)

    def wait_frames(self, n, timeout):
        with self._lock:
            return self._lock.wait_for(lambda: len(self._records) >= n, timeout)

    def clear(self):
        with self._lock:
            self._records.clear()

    @property
    def volume_shown(self):
        with self._lock:
            return self._volume

    @property
    def disc_state(self):
        with self._lock:
            return self._disc

    def configured_baud(self):
        try:
            speed = termios.tcgetattr(self._slave)[5]
        except (termios.error, TypeError, OSError):
            return None
        return _SPEEDS.get(speed) or None

    def inject(self, data: bytes):
        """Send unsolicited bytes to the PC side."""
        self._send(bytes(data), time.perf_counter())

    # ---- board thread ----
    def _byte_time(self):
        if not self.line_speed:
            return 0.0
        return 10.0 / (self.baud or self.configured_baud() or 9600)

    def _send(self, data, at):
        with self._lock:
            bt = self._byte_time()
            for b in data:          # a byte reaches the PC when its stop bit is through
                self._tx_free = max(at, self._tx_free) + bt
                self._out.append((self._tx_free, b))
        os.write(self._wake_w, b"x")

    def _run(self):
        partial, need = bytearray(), 0
        rx_clock = 0.0
        pending = collections.deque()       # (completion time, frame bytes)
        while not self._stop:
            now = time.perf_counter()
            while pending and pending[0][0] <= now:
                self._complete(*pending.popleft())
            self._flush(now)
            due = [pending[0][0]] if pending else []
            with self._lock:
                if self._out:
                    due.append(self._out[0][0])
            wait = min(due) - time.perf_counter() if due else 0.05
            wait = 0.0 if wait < 0.002 else min(wait - 0.001, 0.05)   # sleep, then spin
            if self._behaviour == "garbage":
                self._spew()
                wait = min(wait, 0.001)
            ready, _, _ = select.select([self._master, self._wake_r], [], [], wait)
            if self._wake_r in ready:
                os.read(self._wake_r, 4096)
            if self._master not in ready:
                continue
            try:
                chunk = os.read(self._master, 4096)
            except (BlockingIOError, OSError):
                time.sleep(0.001)
                continue
            arrival, bt = time.perf_counter(), self._byte_time()
            for b in chunk:
                rx_clock = max(rx_clock, arrival) + bt if bt else arrival
                if not partial and b not in (0x6A, 0x8A):
                    pending.append((rx_clock, bytes([b])))
                    continue
                if not partial:
                    need = 3 if b == 0x6A else 4
                partial.append(b)
                if len(partial) == need:
                    pending.append((rx_clock, bytes(partial)))
                    partial.clear()

    def _spew(self):
        junk = bytes(random.choice(GARBAGE) for _ in range(64))
        try:
            os.write(self._master, junk)
        except (BlockingIOError, OSError):
            pass                    # the PC side is full: it reads no faster than that

    def _flush(self, now):
        with self._lock:
            n = 0
            while n < len(self._out) and self._out[n][0] <= now:
                n += 1
            data = bytes(self._out[i][1] for i in range(n))
        if not data:
            return
        try:
            written = os.write(self._master, data)
        except BlockingIOError:
            written = 0
        with self._lock:
            for _ in range(written):
                self._out.popleft()

    def _complete(self, t, data):
        kind, value, ok = classify(data)
        frame = Frame(t, time.time() - (time.perf_counter() - t), data, ok, kind, value)
        with self._lock:
            self._records.append(frame)
            if ok and kind in ("hotkey_volume", "set_volume"):
                self._volume = value
            elif ok and kind == "disc_state":
                self._disc = value
            self._lock.notify_all()
            behaviour, delay, one = self._behaviour, self._delay_ms, self._reply_byte
            odd = len(self._records) % 2 == 1
        if kind != "junk":
            reply = {"ack": ACK if ok else b"", "delay": ACK if ok else b"", "silent": b"",
                     "zeros": b"\0\0", "f0": b"\xF0", "one": bytes([one]),
                     "garbage": b"", "halves": b"\x12\x0F" if odd else b"\xF0"}[behaviour]
            if reply:
                self._send(reply, t + (delay / 1000.0 if behaviour == "delay" else 0.0))
        if self.on_frame:
            try:
                self.on_frame(frame)
            except Exception:       # a faulty observer must not stop the board
                traceback.print_exc()


# ---- command line: a board for demos and manual runs ----
def describe(f: Frame) -> str:
    if f.kind == "junk":
        return "junk byte"
    if f.kind == "unknown_set":
        return f"unknown command {f.data[1]:02X} value {f.value}"
    return {"query": "query board", "hotkey_volume": f"hotkey volume {f.value}",
            "set_volume": f"set volume {f.value}", "disc_state": f"disc state {f.value}"}[f.kind]


def display(board: AvBoard) -> str:
    vol, disc = board.volume_shown, board.disc_state
    disc_txt = {None: "unknown", 0: "empty"}.get(disc, "present")
    return f"display: volume {'--' if vol is None else vol}, disc: {disc_txt}"


def main(argv=None):
    ap = argparse.ArgumentParser(description="Simulated AV board on a pty.")
    ap.add_argument("--link", required=True, help="symlink to create, e.g. $WINEPREFIX/dosdevices/com7")
    ap.add_argument("--behaviour", default="ack", choices=BEHAVIOURS)
    ap.add_argument("--delay-ms", type=float, default=0)
    ap.add_argument("--line-speed", action="store_true", help="model 8N1 line timing")
    ap.add_argument("--baud", type=int, help="line speed to model (default: as the port is configured)")
    ap.add_argument("--reply-byte", type=lambda s: int(s, 0), default=0, help="byte for behaviour 'one'")
    ap.add_argument("--log", help="append one JSON object per frame to this file")
    args = ap.parse_args(argv)

    log = open(args.log, "a", encoding="utf-8") if args.log else None
    t0 = time.perf_counter()
    board = AvBoard(args.link, args.behaviour, args.delay_ms, args.line_speed, args.baud,
                    args.reply_byte)

    def on_frame(f):
        hexs = f.data.hex(" ").upper()
        print(f"[{f.t - t0:7.3f}s] {hexs:<11}  {describe(f):<26} {'ok ' if f.checksum_ok else 'BAD'}"
              f"  | {display(board)}", flush=True)
        if log:
            log.write(json.dumps({"t_wall": f.t_wall, "hex": hexs, "kind": f.kind,
                                  "value": f.value, "checksum_ok": f.checksum_ok}) + "\n")
            log.flush()

    board.on_frame = on_frame
    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    with board:
        print(f"board ready on {args.link} -> {board.slave_name}", flush=True)
        while not stop.wait(0.2):
            pass
    if log:
        log.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
