"""Subscription pipe: command-3 round trips against a minimal server of the same shape, and
press-to-wake latency. Run by scripts/bench.sh inside the test bed."""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "system"))
import conftest  # noqa: E402


def run(*args):
    out = subprocess.run([conftest.WINE, conftest.program("PipeBench.exe"), *map(str, args)],
                         capture_output=True, text=True, check=True).stdout
    return dict(pair.split("=") for pair in out.split())


def main():
    conftest.remove_service()
    assert conftest.halvaro("install").stdout == "Service installed successfully\n"
    try:
        trips = run("roundtrips", 300)
        latency = run("latency", 30, conftest.program("SimFirmware.exe"))
    finally:
        conftest.remove_service()
    print("Subscription pipe, command 3, one connection per request")
    print(f"  service   {float(trips['service_per_s']):8.1f} round trips/s")
    print(f"  baseline  {float(trips['baseline_per_s']):8.1f} round trips/s (minimal server, same run)")
    print(f"  ratio     {float(trips['ratio']):8.3f}   (target >= 0.8)")
    print(f"Press to wake: median {float(latency['median_ms']):.2f} ms, "
          f"max {float(latency['max_ms']):.2f} ms over {latency['woken']} presses")


if __name__ == "__main__":
    main()
