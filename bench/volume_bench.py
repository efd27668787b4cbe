"""Volume change in another process until the monitor's callback runs, against a bare
callback on the same simulated endpoint. Run by scripts/bench.sh inside the test bed."""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "system"))
import conftest  # noqa: E402


def main():
    conftest.simaudio("reset")
    out = subprocess.run([conftest.WINE, conftest.program("VolumeBench.exe"), "300"],
                         capture_output=True, text=True, check=True).stdout
    result = dict(pair.split("=") for pair in out.split())
    print("Volume change by another process until the change callback runs")
    print(f"  monitor   {float(result['monitor_median_ms']):8.3f} ms median")
    print(f"  bare      {float(result['bare_median_ms']):8.3f} ms median (same simulator, no monitor)")
    print(f"  ratio     {float(result['ratio']):8.3f}   (target <= 1.10)")


if __name__ == "__main__":
    main()
