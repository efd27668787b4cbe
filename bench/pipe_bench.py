"""Both pipes against the plainest server of the same shape (one request each, alternating
blocks), subscription round trips per second, and press-to-wake latency. Run by scripts/bench.sh inside the test bed."""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "system"))
import conftest  # noqa: E402


def run(*args):
    out = subprocess.run([conftest.WINE, conftest.program("PipeBench.exe"), *map(str, args)],
                         capture_output=True, text=True, check=True).stdout
    return dict(pair.split("=") for pair in out.split())


def compare(blocks=40, per_block=25):
    """One dict per pipe: the medians of one whole request and their ratio, and under
    'phases' the median of each phase of a request for the service and the plain server."""
    out = subprocess.run([conftest.WINE, conftest.program("PipeBench.exe"), "compare",
                          str(blocks), str(per_block)],
                         capture_output=True, text=True, check=True).stdout
    lines = [dict(pair.split("=") for pair in line.split()) for line in out.splitlines()]
    pipes = [line for line in lines if "phases" not in line]
    for pipe in pipes:
        phases = next(line for line in lines if "phases" in line and line["pipe"] == pipe["pipe"])
        pipe["phases"] = {who: dict(zip(phases["phases"].split(","),
                                        map(float, phases[who].split(","))))
                          for who in ("service", "plain")}
    return pipes


def main():
    conftest.remove_service()
    assert conftest.halvaro("install").stdout == "Service installed successfully\n"
    try:
        pipes = compare()
        trips = run("roundtrips", 300)
        latency = run("latency", 30, conftest.program("SimFirmware.exe"))
    finally:
        conftest.remove_service()
    print("One request (connect, request, reply, disconnect), 40 alternating blocks of 25")
    for p in pipes:
        print(f"  {p['pipe']:3}  service {float(p['service_median_ms']):.3f} ms, plain server "
              f"{float(p['plain_median_ms']):.3f} ms median, ratio {float(p['ratio']):.3f} "
              f"(target <= 1.10; {p['failures']} failed)")
        print(f"       the plain server with the service's descriptor "
              f"{float(p['descriptor_ms']):.3f} ms, overlapped I/O {float(p['overlapped_ms']):.3f}"
              f" ms, a hand-over to a second thread {float(p['handover_ms']):.3f} ms, "
              f"all three {float(p['all_three_ms']):.3f} ms, the service's own pipe server "
              f"alone in a process {float(p['pipe_server_ms']):.3f} ms")
        for who in ("service", "plain"):
            print(f"       {who:7} phases (median ms): " + ", ".join(
                f"{name} {ms:.3f}" for name, ms in p["phases"][who].items()))
    print("Subscription pipe, command 3, one connection per request")
    print(f"  service   {float(trips['service_per_s']):8.1f} round trips/s")
    print(f"  baseline  {float(trips['baseline_per_s']):8.1f} round trips/s (minimal server, same run)")
    print(f"  ratio     {float(trips['ratio']):8.3f}   (target >= 0.8)")
    print(f"Press to wake: median {float(latency['median_ms']):.2f} ms, "
          f"max {float(latency['max_ms']):.2f} ms over {latency['woken']} presses")


if __name__ == "__main__":
    main()
