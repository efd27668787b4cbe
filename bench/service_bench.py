"""The service on the simulated board at 9600 baud, end to end: a volume key and another
program's volume change until their frames reach the board, an AV-command round trip, and a
burst of changes under ComCmdTimeFrame 500. Each against a baseline of the same run; the
baselines that need the port or the endpoint to themselves run in phases with the service
stopped, alternating with the service's phases. Run by scripts/bench.sh inside the test bed.

ServiceBench.exe (the hand) takes its moments with QueryPerformanceCounter; the board stamps
frames with this process's perf_counter. Before each timed action the two clocks are tied
by the shortest of a few "clock" round trips (its half is the error bound printed)."""
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "system"))
import conftest  # noqa: E402
from conftest import (BOARD_PORT, com_link, firmware, reg_get, reg_set, simaudio,  # noqa: E402
                      start_service, stop_service, wait_until)
from conftest import install_on_board  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "sim", "avboard"))
from avboard_sim import AvBoard  # noqa: E402

BAUD = 9600
FRAME_MS = 4 * 10 * 1000 / BAUD     # the four bytes of a frame, 8N1
EXCHANGE_MS = 6 * 10 * 1000 / BAUD  # and the board's two back
PHASES = 3
ROUNDS = 10                         # per phase: 30 of each in all
VOLUME_UP = 0xC0
TIME_FRAME_MS = 500
BURST_CHANGES, BURST_MS = 1000, 1000


class Hand:
    """ServiceBench.exe, one request a line."""

    def __init__(self, *args):
        self.process = subprocess.Popen([conftest.WINE, conftest.program("ServiceBench.exe"),
                                         *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True, bufsize=1)
        self.offset, self.error = 0.0, 0.0

    def ask(self, *request):
        self.process.stdin.write(" ".join(map(str, request)) + "\n")
        return self.answer()

    def answer(self):
        line = self.process.stdout.readline()
        values = dict(p.split("=", 1) for p in line.split())
        assert "error" not in values and values, f"ServiceBench: {line!r}"
        return values

    def sync(self, tries=8):
        """Ties the hand's clock to perf_counter: offset and error bound of the best try."""
        best = None
        for _ in range(tries):
            before = time.perf_counter()
            now = float(self.ask("clock")["now"])
            after = time.perf_counter()
            if best is None or after - before < best[0]:
                best = (after - before, now - (before + after) / 2)
        self.error, self.offset = best[0] / 2, best[1]

    def local(self, stamp):
        """A moment of the hand on perf_counter."""
        return float(stamp) - self.offset

    def close(self):
        self.process.stdin.close()
        self.process.wait(30)


def ms_list(text):
    return [] if text == "-" else [float(v) for v in text.split(",")]


def next_frame(board, kind, timeout=5.0):
    """The next frame of that kind after a clear, or None."""
    board.wait_frames(1, timeout)
    found = wait_until(lambda: next((f for f in board.frames() if f.kind == kind), None),
                       timeout, interval=0.005)
    board.clear()
    return found


def settle(board, seconds=0.05):
    time.sleep(seconds)
    board.clear()


def start_service_on(board, time_frame=None):
    if time_frame is not None:
        reg_set("ComCmdTimeFrame", time_frame)
    board.clear()
    start_service()
    assert board.wait_frames(3, 15)  # query, disc state, start volume
    assert wait_until(lambda: reg_get("CurrentServiceMode") == 1, 10)
    settle(board, 0.5)


class Samples:
    def __init__(self):
        self.base, self.timed, self.errors, self.missed = [], [], [], 0
        self.parts = {}  # name: samples that tell where the time goes

    def line(self, title, base_title, target):
        base, timed = statistics.median(self.base), statistics.median(self.timed)
        ratio = timed / base
        print(title)
        print(f"  service   {timed:8.3f} ms median, max {max(self.timed):7.3f} "
              f"over {len(self.timed)}" + (f", {self.missed} missed" if self.missed else ""))
        print(f"  baseline  {base:8.3f} ms median ({base_title})")
        verdict = "met" if ratio <= target else "MISSED"
        print(f"  ratio     {ratio:8.3f}   (target <= {target}: {verdict})")
        for name, samples in self.parts.items():
            print(f"  {name:<62} {statistics.median(samples):7.3f} ms median")
        if self.errors:
            print(f"  clocks tied within {max(self.errors) * 1000:.3f} ms")


def stopped_phase(hand, change, exchange):
    """Baselines without the service: a bare callback's notification, the bare exchange."""
    watcher = Hand("watch")
    assert watcher.answer()["watching"] == "1"
    try:
        for r in range(ROUNDS):
            hand.sync()
            at = hand.local(hand.ask("level", 20 + r)["at"])
            notified = hand.local(watcher.answer()["notified"])
            change.base.append((notified - at) * 1000 + FRAME_MS)
            change.errors.append(hand.error)
            time.sleep(0.02)
    finally:
        watcher.close()
    out = hand.ask("bare", BOARD_PORT, BAUD, ROUNDS)
    assert int(out["acks"]) == 2 * ROUNDS + 3, out
    exchange.base += ms_list(out["ms"])
    exchange.parts.setdefault("(the service's SendVolume, called bare, service stopped)",
                              []).extend(ms_list(out["send_ms"]))


def running_phase(hand, board, key, change, exchange):
    """The service on the board: the wake-up of a subscriber and the volume key's frame,
    another program's change and its frame, the AV-command round trip."""
    assert int(hand.ask("subscribe")["result"], 16) == 0
    hand.ask("level", 30)  # ten presses from here stay clear of 100
    assert next_frame(board, "set_volume") is not None
    settle(board)
    for r in range(ROUNDS):
        key.base.append(float(hand.ask("wake", 0x10 + r)["ms"]) + FRAME_MS)
        settle(board)
        hand.sync()
        at = hand.local(hand.ask("press", VOLUME_UP)["at"])
        frame = next_frame(board, "hotkey_volume")
        if frame is None or frame.value != 31 + r:
            key.missed += 1
        else:
            key.timed.append((frame.t - at) * 1000)
            key.errors.append(hand.error)
        settle(board)  # the key's own change on the endpoint sends nothing more
    for r in range(ROUNDS):
        hand.sync()
        at = hand.local(hand.ask("level", 60 + r)["at"])
        frame = next_frame(board, "set_volume")
        if frame is None or frame.value != 60 + r:
            change.missed += 1
        else:
            change.timed.append((frame.t - at) * 1000)
            change.errors.append(hand.error)
        settle(board)
    out = hand.ask("av", ROUNDS, 2, 45)
    exchange.timed += ms_list(out["ms"])
    exchange.missed += int(out["failed"])
    settle(board)
    out = hand.ask("av", ROUNDS, 0, 0)  # the query: the pipe without the board
    exchange.parts.setdefault("(operation 0 through the pipe, no board exchange)",
                              []).extend(ms_list(out["ms"]))
    for threaded, name in ((0, "one thread"), (1, "a thread per connection")):
        out = hand.ask("echo", ROUNDS, threaded)
        exchange.parts.setdefault(f"(operation 0 through a plain server, {name})",
                                  []).extend(ms_list(out["ms"]))


def burst(hand, board):
    """1,000 changes over about a second under ComCmdTimeFrame 500: a ramp from 20 to 90 %,
    so a frame's value tells how far into the burst it was taken."""
    stop_service()
    start_service_on(board, TIME_FRAME_MS)
    hand.ask("level", 10)
    settle(board, 1.5)  # its frame and its period are over
    hand.sync()
    out = hand.ask("burst", BURST_CHANGES, BURST_MS, 20, 90)
    first, last, final = hand.local(out["first"]), hand.local(out["last"]), int(out["percent"])
    time.sleep(TIME_FRAME_MS / 1000 * 3)
    frames = [f for f in board.frames() if f.kind == "set_volume"]
    assert frames, "no Set volume frame at all"
    start = frames[0].t
    periods = [0] * (int((frames[-1].t - start) * 1000 // TIME_FRAME_MS) + 1)
    for f in frames:
        periods[int((f.t - start) * 1000 // TIME_FRAME_MS)] += 1
    window = max(sum(1 for g in frames if f.t <= g.t < f.t + TIME_FRAME_MS / 1000)
                 for f in frames)
    ok = max(periods) <= 2 and frames[-1].value == final
    print(f"Burst: {BURST_CHANGES} changes over {(last - first) * 1000:.0f} ms, "
          f"ComCmdTimeFrame {TIME_FRAME_MS}")
    print(f"  Set volume frames  {len(frames)} (values {', '.join(str(f.value) for f in frames)})")
    print(f"  per period         {periods} (periods of {TIME_FRAME_MS} ms from the first frame;"
          f" any {TIME_FRAME_MS} ms window: at most {window})")
    print(f"  last frame         {frames[-1].value} (final level {final}), "
          f"{(frames[-1].t - last) * 1000:.1f} ms after the last change, "
          f"{(frames[0].t - first) * 1000:.1f} ms for the first")
    print(f"  target: at most 2 per period, the last frame the final level: "
          f"{'met' if ok else 'MISSED'}")


def main():
    conftest.remove_service()
    simaudio("reset")
    firmware("reset")
    key, change, exchange = Samples(), Samples(), Samples()
    with AvBoard(com_link(BOARD_PORT), line_speed=True, baud=BAUD) as board:
        install_on_board(board, time_frame=0)
        hand = Hand()
        try:
            for _ in range(PHASES):
                stop_service()
                stopped_phase(hand, change, exchange)
                start_service_on(board)
                running_phase(hand, board, key, change, exchange)
            key.line("Volume key pressed until its Hotkey volume frame is on the board",
                     f"press to wake of a subscriber + {FRAME_MS:.3f} ms line time", 1.2)
            change.line("Another program's volume change until its Set volume frame is on "
                        "the board", f"bare notification + {FRAME_MS:.3f} ms line time", 1.2)
            exchange.line("AV-command operation 2 through the service's pipe, connect to "
                          "reply", f"bare write+read on COM{BOARD_PORT}, service stopped; "
                          f"line time {EXCHANGE_MS:.2f} ms", 1.15)
            burst(hand, board)
        finally:
            hand.close()
            conftest.remove_service()
            simaudio("reset")


if __name__ == "__main__":
    main()
