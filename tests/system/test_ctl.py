"""HalvaroCtl.exe, the support engineers' program, against the service on the simulated
machine: one board serves the module, and each test finds the service running on it (started
again when a test before stopped it)."""
import json
import os
import re
import signal
import subprocess

import pytest

from conftest import (BOARD_PORT, SERVICE_KEY, WINE, AvBoard, Watcher, abuse, clear_service_values,
                      client, com_link, firmware, hotkey_frame, install_service, program,
                      reg_delete, reg_get, reg_set, sent, service_pids, service_state,
                      set_frame, start_on_board, start_service, stop_if_running, stop_service,
                      wait_until, wine)

FRAME_TIMEOUT = 10
UNTAKEN_CODE = 0x50  # a code the service leaves to its subscribers


def ctl(*args, timeout=60):
    return wine(program("HalvaroCtl.exe"), *map(str, args), timeout=timeout)


def ctl_json(*args):
    result = ctl("--json", *args)
    return result.returncode, json.loads(result.stdout.splitlines()[-1]), result.stderr


def test_none_installed(no_service):
    code, out, err = ctl_json("status")
    assert (code, out["service"]["state"]) == (3, "not installed"), out
    assert "not installed" in err
    assert ctl("volume", 50).returncode == 3
    assert ctl("watch", "--for", 1).returncode == 3
    code, out, err = ctl_json("hotkey-volume", 5)
    assert (code, out["command"], out["exit_code"]) == (3, "hotkey-volume", 3), out
    assert out["error"] in err


def test_usage_errors_and_help():
    result = ctl("stats")
    assert result.returncode == 2 and "unknown command stats" in result.stderr
    assert ctl("volume", 101).returncode == 2
    result = ctl("help", "hotkey-volume")
    assert result.returncode == 0
    assert "usage: HalvaroCtl volume <0-100>" in result.stdout


@pytest.fixture(scope="module")
def module_board(service_entry):
    with AvBoard(com_link(BOARD_PORT)) as b:
        yield b
        stop_if_running()  # before the pty's far end closes (see conftest)
    clear_service_values()


@pytest.fixture
def board(module_board, firmware_reset):
    """The module's board, acknowledging, with the service running on it."""
    module_board.behaviour = "ack"
    if service_state() is None:
        install_service()
    if service_state() != "RUNNING" or not service_pids():
        clear_service_values()
        start_on_board(module_board)
    module_board.clear()
    yield module_board


def test_status_of_a_running_service_changes_nothing(board):
    subscriber = Watcher(60)
    try:
        code, out, _ = ctl_json("status")
        text = ctl("status")
        # The subscriber is still the one (the only place is not taken), and the board heard
        # nothing: frames go out in order, so one of the status would come before the set's.
        firmware("press", hex(UNTAKEN_CODE))
        assert wait_until(lambda: UNTAKEN_CODE in subscriber.codes(), FRAME_TIMEOUT), \
            subscriber.lines
        assert "removed" not in subscriber.lines
        assert client("av", "set", 40)["result"] == "0x00000000"
        assert wait_until(lambda: sent(board), FRAME_TIMEOUT)
        assert sent(board) == [set_frame(40)]
    finally:
        subscriber.close()
    assert code == 0, out
    pid = out["service"]["process_id"]
    assert out["service"]["state"] == "running" and pid > 0
    settings = out["settings"]
    assert settings["ComPort"] == {"value": BOARD_PORT, "source": "registry"}
    assert settings["BuadRate"] == {"value": 9600, "source": "default"}
    assert settings["EMAMaxRegister"]["source"] == settings["ComCmdTimeFrame"]["source"] == \
        "default"
    assert out["status_values"]["CurrentServiceMode"] == reg_get("CurrentServiceMode") == 1
    for pipe in ("subscription_pipe", "av_command_pipe"):
        assert (out[pipe]["state"], out[pipe]["server_process_id"]) == ("answers", pid), out
    av = out["av_command_pipe"]
    assert (av["result"], av["data_byte_1"]) == ("0x00000000", 1)

    # The build it names is the one version of the source tree, read from the image it runs.
    version = re.search(r"project\(Halvaro VERSION (\S+)", open(os.path.join(
        os.environ["HALVARO_SOURCE"], "CMakeLists.txt")).read()).group(1)
    assert out["service"]["version"] == version, out["service"]
    assert out["service"]["image"].lower().endswith("\\halvaro.exe"), out["service"]

    assert text.returncode == 0
    assert f"service: running (process id {pid})" in text.stdout.splitlines()
    assert f"service build: {version} ({out['service']['image']})" in text.stdout.splitlines()
    assert f"setting ComPort: {BOARD_PORT} (registry)" in text.stdout.splitlines()


def test_volume_is_acknowledged_by_the_board(board):
    board.clear()
    code, out, _ = ctl_json("volume", 40)
    assert (code, out["acknowledged"]) == (0, True), out
    assert wait_until(lambda: sent(board) == [set_frame(40)], FRAME_TIMEOUT), sent(board)
    board.clear()
    assert ctl("hotkey-volume", 30).returncode == 0
    assert wait_until(lambda: sent(board) == [hotkey_frame(30)], FRAME_TIMEOUT), sent(board)

    board.behaviour = "silent"
    try:
        result = ctl("volume", 20)
    finally:
        board.behaviour = "ack"
    assert result.returncode == 6, result.stdout + result.stderr
    assert "not acknowledged" in result.stderr


def test_watch_prints_a_code_and_unsubscribes_at_ctrl_c(board):
    watch = subprocess.Popen([WINE, program("HalvaroCtl.exe"), "watch", "--json", "--for", "60"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        first = json.loads(watch.stdout.readline())
        assert (first["event"], first["result"]) == ("subscribed", "0x00000000"), first
        firmware("press", hex(UNTAKEN_CODE))
        second = json.loads(watch.stdout.readline())
        assert (second["event"], second["code"]) == ("code", UNTAKEN_CODE), second
        # wine turns SIGINT into the console's Ctrl+C event.
        watch.send_signal(signal.SIGINT)
        rest, _ = watch.communicate(timeout=20)
    finally:
        watch.kill()
    assert watch.returncode == 0
    assert [json.loads(l)["event"] for l in rest.splitlines()] == ["unsubscribed"], rest
    # The only subscriber place (EMAMaxRegister 1) is free: nobody is let go to make room.
    other = Watcher(5)
    try:
        assert other.result == 0
    finally:
        other.close()


def test_stopped_service_and_settings_decoded_as_the_service_does(board):
    stop_service()
    # Taken at the next start as the service takes them: a stored 0 subscribers counts as
    # one, and data that is not 4 bytes long is no value at all.
    reg_set("EMAMaxRegister", 0)
    wine("reg", "add", SERVICE_KEY, "/v", "ComCmdTimeFrame", "/t", "REG_BINARY", "/d", "0100",
         "/f", check=True)
    try:
        code, out, err = ctl_json("status")
        assert (code, out["service"]["state"]) == (4, "stopped"), out
        assert "not running (stopped)" in err
        assert out["settings"]["EMAMaxRegister"] == {"value": 1, "source": "registry",
                                                     "stored": 0}
        assert out["settings"]["ComCmdTimeFrame"] == {"value": 0, "source": "default",
                                                      "ignored_size": 2}
        assert ctl("volume", 10).returncode == 4
    finally:
        reg_delete("EMAMaxRegister")
        reg_delete("ComCmdTimeFrame")


def test_a_pipe_held_by_another_program_is_not_trusted(board):
    stop_service()
    squatter = subprocess.Popen([WINE, program("PipeAbuse.exe"), "squat", "sub", "20"],
                                stdout=subprocess.PIPE, text=True)
    try:
        assert squatter.stdout.readline().strip() == "squatting"
        start_service()
        assert wait_until(lambda: abuse("ask", "av")["answered"] == "1", 10)
        code, out, err = ctl_json("status")
        assert code == 5, out
        held = out["subscription_pipe"]
        assert held["state"] == "held"
        assert held["server_process_id"] not in (0, out["service"]["process_id"])
        assert f"held by another program (process id {held['server_process_id']})" in err
        assert out["av_command_pipe"]["state"] == "answers"
        assert ctl("watch", "--for", 1).returncode == 5
    finally:
        squatter.kill()
        squatter.wait()
        stop_service()  # the next test's service has its own pipe names


def watch(*args):
    process = subprocess.Popen([WINE, program("HalvaroCtl.exe"), "watch", "--json", *args],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    first = json.loads(process.stdout.readline())
    assert (first["event"], first["result"]) == ("subscribed", "0x00000000"), first
    return process


def ended(process):
    """The exit code and the events after the subscription, once the watch has ended."""
    try:
        rest, _ = process.communicate(timeout=30)
    finally:
        process.kill()
    return process.returncode, [json.loads(l)["event"] for l in rest.splitlines()]


def test_watch_ends_at_its_time_on_eviction_on_the_stop_and_on_refusal(board):
    assert ended(watch("--for", "2")) == (0, ["unsubscribed"])

    # Another subscriber takes the only place.
    evicted = watch("--for", "60")
    assert client("subscribe", 0x5151)["result"] == "0x90000000"
    assert ended(evicted) == (0, ["evicted"])
    assert client("unsubscribe", 0x5151)["result"] == "0x00000000"

    # The service stops under it.
    orphaned = watch("--for", "60")
    stop_service()
    assert ended(orphaned) == (4, ["error"])

    # A service whose hotkey listener cannot start refuses the subscription.
    firmware("fault", "connect", "on")
    start_service()
    result = ctl("watch", "--for", 5)
    assert result.returncode == 7, result.stdout + result.stderr
    assert "refused the subscription (result 0x8000000A)" in result.stderr
    stop_service()
