"""Soak: 100,000 hostile requests on each pipe, 30,000 connect-and-close clients on each pipe
with a second thread asking whether the name exists, then 200 starts and stops under load.
Reports
what the service's threads and handles did, and the valid round trips per second after the
soak against those before it (same run). Run by scripts/bench.sh inside the test bed."""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "system"))
import conftest  # noqa: E402
from conftest import (abuse, counts, firmware, firmware_status, halvaro,  # noqa: E402
                      load_of_presses_and_changes, program, reg_get, remove_service,
                      service_pids, settled_counts, simaudio, stop_service, wine)

REQUESTS_PER_PIPE = 100_000
CHUNK = 10_000
CYCLES = 200
CHURN_CONNECTS = 30_000
UNTAKEN_CODE = 0x50


def round_trips():
    out = subprocess.run([conftest.WINE, program("PipeBench.exe"), "roundtrips", "300"],
                         capture_output=True, text=True, check=True).stdout
    return float(dict(pair.split("=") for pair in out.split())["service_per_s"])


def fuzz_soak():
    remove_service()
    assert halvaro("install").stdout == "Service installed successfully\n"
    try:
        before = round_trips()
        baseline = settled_counts(counts())
        peak = dict(baseline)
        totals = {}
        began = time.monotonic()
        for pipe in ("sub", "av"):
            sent = replies = bad = answered = 0
            for seed in range(REQUESTS_PER_PIPE // CHUNK):
                r = abuse("fuzz", pipe, CHUNK, seed + (1000 if pipe == "av" else 0))
                sent += int(r["sent"])
                replies += int(r["replies"])
                # a malformed reply, a missing one, or a connection turned away
                bad += int(r["bad_replies"]) + int(r["missing"]) + int(r["refused"])
                answered += int(r["answered"])
                now = counts()
                peak = {k: max(peak[k], now[k]) for k in peak}
            totals[pipe] = (sent, replies, bad, answered)
        seconds = time.monotonic() - began
        after_counts = settled_counts(baseline)
        after = round_trips()
        running = bool(service_pids())
    finally:
        remove_service()
    print("Pipe fuzzing soak")
    for pipe, (sent, replies, bad, answered) in totals.items():
        print(f"  {pipe:3}  sent {sent}, replies {replies}, malformed, missing or refused {bad}, "
              f"valid requests answered after each chunk {answered}/{REQUESTS_PER_PIPE // CHUNK}")
    print(f"  {2 * REQUESTS_PER_PIPE / seconds:.0f} hostile requests/s; service running after: "
          f"{running}")
    print(f"  threads {baseline['threads']} -> peak {peak['threads']} -> {after_counts['threads']}, "
          f"handles {baseline['handles']} -> peak {peak['handles']} -> {after_counts['handles']}")
    print(f"  round trips/s before {before:.1f}, after {after:.1f}, "
          f"ratio {after / before:.3f} (target ~1)")


def churn_soak():
    remove_service()
    assert halvaro("install").stdout == "Service installed successfully\n"
    try:
        results = {pipe: abuse("churn", pipe, CHURN_CONNECTS, timeout=1800)
                   for pipe in ("sub", "av")}
    finally:
        remove_service()
    print("Connect and close, with the name watched")
    for pipe, r in results.items():
        print(f"  {pipe:3}  connects {r['connects']}/{CHURN_CONNECTS}, asks {r['asks']}, "
              f"name missing {r['misses']} (target 0)")


def cycle_soak():
    remove_service()
    firmware("reset")
    simaudio("reset")
    assert halvaro("install").stdout == "Service installed successfully\n"
    stop_service()
    try:
        with load_of_presses_and_changes(UNTAKEN_CODE):
            out = wine(program("ServiceCycler.exe"), str(CYCLES), "11", timeout=1800).stdout
        fields = dict(p.split("=") for p in out.split() if "=" in p)
        left = bool(service_pids())
        mode = reg_get("CurrentServiceMode")
        wmi_after_release = firmware_status()["calls_after_release"]
        audio = {k: v for line in simaudio("status") for k, v in line.items()}
    finally:
        remove_service()
        firmware("reset")
        simaudio("reset")
    print("Start and stop under load")
    print(f"  cycles {fields.get('cycles')}, slowest stop {fields.get('slowest_stop_ms')} ms, "
          f"stops over 1 s {fields.get('stops_over_1s')}, hung {fields.get('hung')}, "
          f"crashed {fields.get('bad_exits')}")
    print(f"  client requests {fields.get('requests')}, answered {fields.get('answered')}; "
          f"process left: {left}; CurrentServiceMode after: {mode}")
    print(f"  calls after release: firmware {wmi_after_release}, "
          f"audio {audio.get('calls_after_release')}")


def main():
    fuzz_soak()
    churn_soak()
    cycle_soak()


if __name__ == "__main__":
    main()
