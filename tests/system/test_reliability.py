"""The service against hostile clients, a faulty board and restarts under load: it keeps
running, keeps answering, and gives back the threads and handles it took."""
import subprocess
import time

import pytest

from conftest import (WINE, ServicesLog, Watcher, abuse, clear_service_values, counts, firmware,
                      firmware_status, image_pids, load_of_presses_and_changes, program,
                      reg_get, service_pids, service_state, settled_counts, SERVICE,
                      simaudio, start_on_board, start_service, stop_if_running, stop_seconds,
                      wait_until, wine)

PIPES = ("sub", "av")
UNTAKEN_CODE = 0x50  # a code the service leaves to its subscribers


class IdleListener:
    """The hotkey listener of the module's service, which sits idle between the few presses
    the tests make: its Next calls time out every second, and none of that may count as a
    failure."""

    def __init__(self):
        self.began = time.monotonic()
        self.presses = 0
        self.connections = firmware_status()["connections"]

    def press(self, code):
        firmware("press", code)
        self.presses += 1

    def check(self, idle_for=0):
        """Since the module's service started, and for `idle_for` seconds at least: not made
        again, and every press delivered."""
        time.sleep(max(0.0, idle_for - (time.monotonic() - self.began)))
        status = firmware_status()
        assert status["connections"] == self.connections, status  # never made again
        assert status["next_calls"] >= (time.monotonic() - self.began) * 0.8, status
        assert (status["delivered"], status["pending"]) == (self.presses, 0), status
        assert reg_get("CurrentServiceMode") == 1


@pytest.fixture(scope="module")
def service(service_entry):
    """One running service without a board for the pipe tests of this module."""
    stop_if_running()
    clear_service_values()
    firmware("reset")
    start_service()
    assert wait_until(lambda: reg_get("CurrentServiceMode") == 1, 10)
    for pipe in PIPES:
        assert abuse("ask", pipe)["answered"] == "1"
    yield IdleListener()
    stop_if_running()
    clear_service_values()


def assert_counts_back(baseline):
    after = settled_counts(baseline)
    print("counts", baseline, "->", after)
    assert after["threads"] <= baseline["threads"], (baseline, after)
    assert after["handles"] <= baseline["handles"], (baseline, after)


def test_fuzzed_pipes_keep_answering_and_give_back_what_they_took(service):
    baseline = settled_counts(counts())
    for seed, pipe in enumerate(PIPES, 1):
        result = abuse("fuzz", pipe, 2000, seed)
        print(pipe, result)
        assert result["sent"] == "2000"
        assert result["refused"] == "0"
        assert int(result["expected"]) >= 500, result  # most kinds are answered at once
        assert result["missing"] == "0" and result["bad_replies"] == "0", result
        assert result["answered"] == "1"
    # Clients that subscribe and unsubscribe, many times over: a leak of even one handle per
    # subscriber would show in the counts.
    assert abuse("subscribers", "sub", 300) == {"cycles": "300", "failures": "0"}
    assert service_state() == "RUNNING" and service_pids()
    assert_counts_back(baseline)
    service.check()


def test_the_pipe_names_never_lapse_while_clients_come_and_go(service):
    # 484 of 2,327 asks found no subscription pipe at all before.
    for pipe in PIPES:
        result = abuse("churn", pipe, 3000)
        print(pipe, result)
        assert result["connects"] == "3000"
        assert int(result["asks"]) > 100
        assert result["misses"] == "0"
    service.check()


def test_idle_connections_neither_block_clients_nor_cost_threads(service):
    baseline = settled_counts(counts())
    watcher = Watcher(120)
    try:
        for pipe in PIPES:
            holder = subprocess.Popen([WINE, program("PipeAbuse.exe"), "idle", pipe, "2500", "5"],
                                      stdout=subprocess.PIPE, text=True)
            try:
                held = holder.stdout.readline()
                answered = holder.stdout.readline()
                print(pipe, held.strip(), answered.strip())
                assert held.strip() == "held=2500"
                fields = dict(p.split("=") for p in answered.split())
                assert fields["answered"] == "1"
                assert int(fields["ms"]) < 1000
                busy = counts()
                print(pipe, "while held", busy)
                assert busy["threads"] <= baseline["threads"] + 6, (baseline, busy)
                seen = len(watcher.codes())
                service.press(hex(UNTAKEN_CODE))
                assert wait_until(lambda: len(watcher.codes()) > seen, 10), watcher.lines
                assert holder.stdout.readline().strip() == "released"
            finally:
                holder.kill()
                holder.wait()
    finally:
        watcher.close()
    assert_counts_back(baseline)
    # Over a minute of the listener's idleness (the tests before this one count too).
    service.check(idle_for=60)


def test_a_pipe_name_held_by_another_program_is_served_once_it_is_free(clean_service):
    squatter = subprocess.Popen([WINE, program("PipeAbuse.exe"), "squat", "sub", "6"],
                                stdout=subprocess.PIPE, text=True)
    try:
        assert squatter.stdout.readline().strip() == "squatting"
        log = ServicesLog()
        start_service()
        assert abuse("ask", "av")["answered"] == "1"
        # No instance of the service's own beside the impostor's: it takes the client.
        assert abuse("ask", "sub")["answered"] == "0"
        assert squatter.stdout.readline().strip() == "released"
        # Served once the name is free (the listener had given up for good before).
        assert wait_until(lambda: abuse("ask", "sub")["answered"] == "1", 40, interval=1)
        assert service_state() == "RUNNING"
        # Told once, not at each of the retries while it was held, and once served again.
        said = [m for m in log.messages() if m[0].startswith("MSG_PIPE")]
        name = r"\\.\pipe\OrvaEMA_srv_np_0"
        assert said == [("MSG_PIPE_NAME_HELD", [name]), ("MSG_PIPE_SERVED_AGAIN", [name])], said
    finally:
        squatter.kill()
        squatter.wait()


def av_set_gives_up():
    """An AV set through the pipe: not acknowledged, within the command's limits."""
    began = time.monotonic()
    result = wine(program("SimClient.exe"), "av", "set", "40")
    assert "result=0x80000008" in result.stdout, result.stdout + result.stderr
    return time.monotonic() - began


@pytest.mark.parametrize("fault", ["garbage", "unplugged"])
def test_board_faults_leave_hotkeys_and_the_stop_alone(clean_service, board, firmware_reset,
                                                      fault):
    start_on_board(board)
    if fault == "garbage":
        board.behaviour = "garbage"
    else:
        board.close()
    watcher = Watcher(60)
    try:
        assert av_set_gives_up() < 15
        for code in ("0xC0", hex(UNTAKEN_CODE)):  # a volume key talks to the board first
            firmware("press", code)
        assert wait_until(lambda: UNTAKEN_CODE in watcher.codes(), 15), watcher.lines
    finally:
        watcher.close()
    assert stop_seconds() < 2.5


def test_start_and_stop_under_load_leave_nothing_behind(clean_service, firmware_reset,
                                                        audio_reset):
    with load_of_presses_and_changes(UNTAKEN_CODE):
        result = wine(program("ServiceCycler.exe"), "30", "7", timeout=300)
    fields = dict(p.split("=") for p in result.stdout.split() if "=" in p)
    print(fields)
    assert fields.get("cycles") == "30", result.stdout + result.stderr
    assert fields["hung"] == "0" and fields["bad_exits"] == "0"
    assert int(fields["slowest_stop_ms"]) < 2000
    assert int(fields["answered"]) > 0
    assert service_state() == "STOPPED" and not service_pids()
    assert reg_get("CurrentServiceMode") is None  # though clients subscribed during the stops
    # A companion terminated by the last stop may take a moment to be gone.
    assert wait_until(lambda: not image_pids("Merrowin.exe"), 5), image_pids("Merrowin.exe")
    assert firmware_status()["calls_after_release"] == 0
    audio = {k: v for line in simaudio("status") for k, v in line.items()}
    assert audio["calls_after_release"] == "0", audio


def test_a_quick_restart_while_clients_wait_on_a_silent_board(clean_service, board,
                                                              firmware_reset):
    start_on_board(board)
    board.behaviour = "silent"  # each AV set holds the line for its read time-out
    waiting = [subprocess.Popen([WINE, program("SimClient.exe"), "av", "set", str(30 + i)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
               for i in range(4)]
    try:
        assert board.wait_frames(1, 10)
        assert stop_seconds() < 3.0
        wine("sc", "start", SERVICE)
        # The new process serves both pipes as soon as the old one's instances are gone.
        for pipe in PIPES:
            assert wait_until(lambda: abuse("ask", pipe)["answered"] == "1", 40, interval=1), pipe
        for client in waiting:  # each had an answer or its connection ended; none hangs
            client.communicate(timeout=15)
    finally:
        for client in waiting:
            client.kill()
            client.wait()
    assert service_state() == "RUNNING"
