"""The programs beside the service: the companions it starts and ends, the agent on the mixer
machine, and the foreign mixer window."""
import os
import shutil
import subprocess
import time

import pytest

from conftest import (BOARD_PORT, PREFIX, WINE, image_pids, prefix_processes, program, reg_get,
                      reg_set, remove_service, sent, set_frame, simmixer, start_service,
                      stop_service, wait_until, wine)

COMPANIONS = ["Tobrel.exe", "Swanick.exe", "VASKEN.exe"]
DRIVE_C = os.path.join(PREFIX, "drive_c")


class Planted:
    """Copies of the companion stand-in, each running under a name of its own."""

    def __init__(self):
        self.processes = {}

    def run(self, name, folder="planted", *args):
        directory = os.path.join(DRIVE_C, folder)
        os.makedirs(directory, exist_ok=True)
        path = os.path.join(directory, name)
        shutil.copy(program("SimCompanion.exe"), path)
        process = subprocess.Popen([WINE, path, *args], stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.processes[name] = process
        if args:
            assert process.stdout.readline().strip() == "ready"
        else:
            assert wait_until(lambda: image_pids(name), 20), name
        return process

    def running(self, name):
        return bool(image_pids(name))

    def close(self):
        for process in self.processes.values():
            process.kill()
            process.wait()


@pytest.fixture
def planted():
    p = Planted()
    yield p
    p.close()


def timed_stop():
    began = time.monotonic()
    stop_service()
    return time.monotonic() - began


def test_companions_are_started_and_ended_by_name(clean_service, planted):
    for name in COMPANIONS:
        planted.run(name)
    planted.run("vasken.EXE", "other-case")
    for name in ("Other.exe", "Quenlit.exe"):  # a look-alike agent is never terminated
        planted.run(name)
    foreign = planted.run("Foreign.exe", "planted", "window")
    assert not image_pids("WINLOGON.EXE")

    start_service()
    assert wait_until(lambda: image_pids("Merrowin.exe"), 10), "no Merrowin without a logon"
    stop_service()
    gone = COMPANIONS + ["vasken.EXE", "Merrowin.exe"]
    assert wait_until(lambda: not any(planted.running(n) for n in gone), 10), \
        [n for n in gone if planted.running(n)]
    assert planted.running("Other.exe")
    assert len(image_pids("Quenlit.exe")) == 1  # the endpoint machine starts no agent
    assert foreign.poll() is None, "the foreign window got WM_QUIT on the endpoint machine"

    planted.run("WINLOGON.EXE")
    start_service()
    assert wait_until(lambda: image_pids("Merrowin.exe"), 10), "no Merrowin with a logon"
    stop_service()

    # With none of the four running, nothing is terminated, not even programs whose names
    # differ from a companion's by a letter, a prefix or a suffix.
    near_misses = ["Tobrel.ex", "xSwanick.exe", "VASKEN.exe.exe", "Merrowin2.exe"]
    for name in near_misses:
        planted.run(name)
    merrowin = program("Merrowin.exe")
    os.rename(merrowin, merrowin + ".away")
    try:
        start_service()
        stop_service()
    finally:
        os.rename(merrowin + ".away", merrowin)
    survivors = near_misses + ["Other.exe", "WINLOGON.EXE", "Quenlit.exe"]
    assert not wait_until(lambda: [n for n in survivors if not planted.running(n)], 2), \
        [n for n in survivors if not planted.running(n)]
    assert foreign.poll() is None


@pytest.fixture
def spaced_install(planted):
    """The service and its programs in "C:\\Program Files\\Orva", with a program planted at
    "C:\\Program.exe" that must never run, and a DLL named winmm.dll without a single mixer
    function planted beside them, which must never be loaded (the mixer is the system's)."""
    directory = os.path.join(DRIVE_C, "Program Files", "Orva")
    os.makedirs(directory, exist_ok=True)
    for name in ("Halvaro.exe", "Quenlit.exe", "Merrowin.exe"):
        shutil.copy(program(name), directory)
    shutil.copy(program("SimAudio.dll"), os.path.join(directory, "winmm.dll"))
    decoy = os.path.join(DRIVE_C, "Program.exe")
    shutil.copy(program("SimCompanion.exe"), decoy)
    remove_service()
    yield os.path.join(directory, "Halvaro.exe")
    remove_service()
    os.remove(decoy)
    shutil.rmtree(directory)


def test_the_mixer_machine_end_to_end(board, mixer_machine, planted, spaced_install):
    foreign = planted.run("Foreign.exe", "planted", "window")
    # Installed from Program Files, the service starts by itself with the system.
    assert wine(spaced_install, "install").stdout == "Service installed successfully\n"
    assert reg_get("Start") == 2  # SERVICE_AUTO_START
    stop_service()
    reg_set("ComPort", BOARD_PORT)
    start_service()
    assert board.wait_frames(3, 15)  # query, disc state, start volume
    assert wait_until(lambda: len(image_pids("Quenlit.exe")) == 1, 10), "no agent"
    agent_argv = dict(prefix_processes())[image_pids("Quenlit.exe")[0]]
    assert agent_argv[0].strip('"').endswith("Program Files\\Orva\\Quenlit.exe"), agent_argv

    # Another program's change reaches the board through the agent and the waiter, once the
    # agent watches the mixer (the service's handle and the agent's are open): a change
    # before that has nobody to see it.
    assert wait_until(lambda: int(simmixer("status")["open_handles"]) == 2, 15), \
        simmixer("status")
    board.clear()
    simmixer("volume", 40000)
    assert wait_until(lambda: set_frame(62) in sent(board), 10), \
        (sent(board), image_pids("Quenlit.exe"), simmixer("status"))
    simmixer("mute", "on")
    assert wait_until(lambda: set_frame(0) in sent(board), 10), sent(board)
    simmixer("mute", "off")

    stop_times = [timed_stop()]
    assert wait_until(lambda: not image_pids("Quenlit.exe"), 10), "the agent did not quit"
    assert foreign.stdout.readline().strip() == "quit"
    for _ in range(5):
        start_service()
        assert wait_until(lambda: len(image_pids("Quenlit.exe")) == 1, 10)
        time.sleep(0.5)
        assert len(image_pids("Quenlit.exe")) == 1
        stop_times.append(timed_stop())
        assert wait_until(lambda: not image_pids("Quenlit.exe"), 10), "an agent is left"
        assert not image_pids("Merrowin.exe")
    assert not image_pids("Program.exe"), "the planted program ran"
    print("stop times:", ", ".join(f"{t:.2f} s" for t in stop_times))
    assert max(stop_times) < 3, stop_times

    # A stop while the agent is still opening its mixer, before it has its window, and a start
    # at once while it is still closing it: the agent must neither outlive the service (as the
    # one agent it would keep every later one out) nor still be there when the next starts.
    simmixer("delay", "open", 1500, "Quenlit.exe")
    simmixer("delay", "close", 1800, "Quenlit.exe")
    start_service()
    assert wait_until(lambda: image_pids("Quenlit.exe"), 15), "no agent"
    stop_service()
    assert not image_pids("Quenlit.exe"), "the service ended before its agent"
    start_service()
    simmixer("delay", "close", 0, "Quenlit.exe")
    assert wait_until(lambda: int(simmixer("status")["open_handles"]) == 2, 15), "no agent's mixer"
    board.clear()
    simmixer("volume", 20000)
    assert wait_until(lambda: set_frame(31) in sent(board), 10), \
        (sent(board), image_pids("Quenlit.exe"))
    stop_service()
    assert wait_until(lambda: not image_pids("Quenlit.exe"), 10), "the agent outlived the service"
