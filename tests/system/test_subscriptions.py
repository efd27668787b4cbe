"""Hotkey events from the simulated firmware reach subscribed clients through the pipe."""
import subprocess
import threading
import time

from conftest import (Watcher, client, firmware, firmware_status, reg_get, reg_set,
                      start_service, stop_seconds, wait_until, wine, program, WINE)

PIPE_TIMEOUT = 10


def install(max_subscribers=None):
    """Starts the installed service (see clean_service) and waits for its listener's start."""
    if max_subscribers is not None:
        reg_set("EMAMaxRegister", max_subscribers)
    start_service()
    assert wait_until(lambda: reg_get("CurrentServiceMode") is not None, 10)


def test_events_wake_subscribers_and_the_code_can_be_read(clean_service, firmware_reset):
    install()
    assert reg_get("CurrentServiceMode") == 1
    assert reg_get("AVBoardStatus") == 1  # no board connected: still taken as present
    assert client("last") == {"code": "0", "result": "0x00000000"}

    watcher = Watcher()
    try:
        assert watcher.result == 0
        for code in (0x42, 7, 0xC7):  # codes the service does not take wake everyone
            firmware("press", hex(code))
            assert wait_until(lambda: code in watcher.codes(), PIPE_TIMEOUT), watcher.lines
        assert watcher.codes() == [0x42, 7, 0xC7]
        assert client("last")["code"] == str(0xC7)

        # An event whose code cannot be read is dropped: nobody wakes, the code stays.
        firmware("fault", "badprop", "on")
        firmware("press", "0x55")
        assert wait_until(lambda: firmware_status()["delivered"] == 4, 5)
        handed = firmware_status()["next_calls"]
        # Back in Next: the event has been dealt with.
        assert wait_until(lambda: firmware_status()["next_calls"] > handed, 5)
        assert client("last")["code"] == str(0xC7)
        firmware("fault", "badprop", "off")
        firmware("press", "0x57")  # events are taken in order: a wake for 0x55 came first
        assert wait_until(lambda: 0x57 in watcher.codes(), PIPE_TIMEOUT), watcher.lines
        assert watcher.codes() == [0x42, 7, 0xC7, 0x57]

        # A provider answering at once with nothing is paused on, not spun on.
        firmware("fault", "empty", "on")
        before = firmware_status()["next_calls"]
        time.sleep(2)
        calls = firmware_status()["next_calls"] - before
        firmware("fault", "empty", "off")
        assert calls < 100, calls
        firmware("press", "0x56")
        assert wait_until(lambda: 0x56 in watcher.codes(), PIPE_TIMEOUT), watcher.lines
    finally:
        watcher.close()


def test_reply_layouts_for_odd_requests(clean_service, firmware_reset):
    install()
    for command in ("00", "04", "FE"):
        out = client("raw", command, "11", "22", "33", "04", "00", "00", "00",
                     "00", "00", "00", "00", "AA", "BB", "CC", "DD", "01", "00", "00", "00")
        assert out["length"] == "16"
        assert out["bytes"] == f"FF,11,22,33,04,00,00,00,00,00,00,00,AA,BB,CC,DD", command
    # Longer than 32 bytes: only the first 32 count, the rest goes with the disconnect.
    long_request = ["03"] + ["00"] * 40
    out = client("raw", *long_request)
    assert out["length"] == "20"
    assert out["bytes"].startswith("83,00,00,00,00,00,00,00,04,00,00,00,00,00,00,00")
    # A short subscribe reads the missing bytes as 0: payload length 0 -> -1.
    out = client("raw", "01")
    assert out["bytes"] == "81," + ",".join(["00"] * 11) + ",FF,FF,FF,FF"


def test_subscribe_twice_and_unknown_unsubscribe(clean_service, firmware_reset):
    install()
    assert client("subscribe", 0x1234)["result"] == "0x00000000"
    assert client("subscribe", 0x1234)["result"] == "0x90000001"
    assert client("unsubscribe", 0x1234)["result"] == "0x00000000"
    assert client("unsubscribe", 0x1234)["result"] == "0x90000000"


def test_default_cap_evicts_the_previous_subscriber(clean_service, firmware_reset):
    install()
    first = Watcher()
    try:
        assert first.result == 0
        assert client("subscribe", 0x5151)["result"] == "0x90000000"
        assert first.wait_for("removed", PIPE_TIMEOUT)
    finally:
        first.close()


def test_cap_of_three_evicts_only_the_oldest(clean_service, firmware_reset):
    install(max_subscribers=3)
    watchers = [Watcher() for _ in range(3)]
    try:
        assert [w.result for w in watchers] == [0, 0, 0]
        assert client("subscribe", 0x6161)["result"] == "0x90000000"
        assert watchers[0].wait_for("removed", PIPE_TIMEOUT)
        firmware("press", "9")
        for w in watchers[1:]:
            assert wait_until(lambda: 9 in w.codes(), PIPE_TIMEOUT)
            assert not any(l == "removed" for l in w.lines)
        # An unsubscribe signals no removal.
        assert client("unsubscribe", watchers[1].pid)["result"] == "0x00000000"
        assert not watchers[1].wait_for("removed", 2)
    finally:
        for w in watchers:
            w.close()


def test_refused_wmi_is_retried_by_the_next_subscribe(clean_service, firmware_reset):
    firmware("fault", "connect", "on")
    install()
    assert reg_get("CurrentServiceMode") == 0
    # The service's own retries come 1, 2 and 4 s apart: after the fourth attempt it pauses
    # 8 s, and every attempt within that pause is a subscribe's.
    assert wait_until(lambda: firmware_status()["connect_attempts"] == 4, 20)
    paused = time.monotonic()
    assert client("subscribe", 0x7001)["result"] == "0x8000000A"
    assert reg_get("CurrentServiceMode") == 0
    assert firmware_status()["connect_attempts"] == 5
    assert time.monotonic() - paused < 8, "the subscribe took longer than the service's pause"

    # A subscribe with a bad length still tries the listener again. (The own retry now
    # pauses 16 s.)
    firmware("fault", "connect", "off")
    firmware("fault", "query", "on")
    assert client("raw", "01", "00", "00", "00", "02")["bytes"].endswith("FF,FF,FF,FF")
    status = firmware_status()
    assert status["connect_attempts"] == 6
    assert status["query_attempts"] == 1 and status["queries"] == 0

    # Two subscribes at the same moment make one connection and one event thread.
    before = firmware_status()
    firmware("fault", "query", "off")
    results = []

    def subscribe(pid):
        results.append(client("subscribe", pid)["result"])

    threads = [threading.Thread(target=subscribe, args=(pid,)) for pid in (0x7101, 0x7102)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert time.monotonic() - paused < 8 + 16, "the service's own retry may have connected"
    assert sorted(results) in (["0x00000000", "0x90000000"], ["0x00000000", "0x00000000"])
    after = firmware_status()
    assert after["queries"] - before["queries"] == 1
    assert after["connect_attempts"] - before["connect_attempts"] == 1
    assert after["enumerators_alive"] == 1
    assert reg_get("CurrentServiceMode") == 1


def test_stop_while_events_arrive(clean_service, firmware_reset):
    install()
    watcher = Watcher()
    stop_pressing = threading.Event()

    def press():
        n = 0
        while not stop_pressing.is_set():
            wine(program("SimFirmware.exe"), "press", str(n % 100))
            n += 1

    presser = threading.Thread(target=press)
    presser.start()
    try:
        assert wait_until(lambda: len(watcher.codes()) >= 3, PIPE_TIMEOUT)
        assert stop_seconds() < 2.5
    finally:
        stop_pressing.set()
        presser.join()
        watcher.close()
    status = firmware_status()
    assert status["calls_after_release"] == 0
    assert status["enumerators_alive"] == 0
    assert reg_get("CurrentServiceMode") is None


def test_many_clients_at_once_are_all_answered(clean_service, firmware_reset):
    install()
    clients = [subprocess.Popen([WINE, program("SimClient.exe"), "last"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
               for _ in range(16)]
    outputs = [c.communicate(timeout=60) for c in clients]
    assert all(c.returncode == 0 for c in clients), outputs
    outputs = [out for out, _ in outputs]
    assert all("code=0 result=0x00000000" in out for out in outputs), outputs
