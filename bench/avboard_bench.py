"""Set volume exchange time against the line time of its six bytes, the board sending at the
real speed of 9600 baud 8N1. Run by scripts/bench.sh inside the test bed."""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "sim", "avboard"))
from avboard_sim import AvBoard  # noqa: E402

BAUD = 9600
LINE_MS = 6 * 10 * 1000 / BAUD  # 4 bytes out, 2 back, 10 bits each: 6.25 ms
PORT = 7


def main():
    prefix = os.environ["WINEPREFIX"]
    exe = os.path.join(os.environ["HALVARO_BIN"], "AvBoardBench.exe")
    with AvBoard(os.path.join(prefix, "dosdevices", f"com{PORT}"), line_speed=True, baud=BAUD):
        out = subprocess.run([os.environ["HALVARO_WINE"], exe, str(PORT), str(BAUD), "400"],
                             capture_output=True, text=True, check=True).stdout
    values = dict(pair.split("=") for pair in out.split())
    raw = float(values["raw_median_ms"])
    exchange = float(values["exchange_median_ms"])
    print(f"Set volume exchange at {BAUD} baud, {values['rounds']} rounds, "
          f"{values['acks']} acknowledged")
    print(f"  line time of 6 bytes      {LINE_MS:7.3f} ms")
    print(f"  bare write+read (same run) {raw:7.3f} ms   ratio {raw / LINE_MS:5.3f}")
    print(f"  SendVolume exchange        {exchange:7.3f} ms   ratio {exchange / LINE_MS:5.3f}"
          f"   (target <= 1.10; against the bare transfer {exchange / raw:5.3f})")


if __name__ == "__main__":
    main()
