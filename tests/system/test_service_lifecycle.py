"""The service program installed, started, stopped and removed through the real manager."""
import shutil

from conftest import (client, halvaro, program, start_service, stop_seconds,
                      reg_get, reg_set, remove_service, service_pids, service_state, wait_until,
                      wine)

NETWORK, EVERYONE = "S-1-5-2", "S-1-1-0"
EVENT_SOURCE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Orva WMI Service"


def event_source_values():
    """{name: (type, data)} of the event source's registration, or None without its key."""
    result = wine("reg", "query", EVENT_SOURCE_KEY)
    if result.returncode != 0:
        return None
    return {parts[0]: (parts[1], parts[2]) for parts in
            (line.strip().split(None, 2) for line in result.stdout.splitlines()
             if line.startswith("    ")) if len(parts) == 3}


def service_mutexes():
    """Whether the mutexes that client programs look for exist."""
    found = client("mutexes")
    return found["subscription_mutex"], found["av_mutex"]


def test_install_and_delete_in_any_case_with_exact_messages(no_service):
    for spelling, removal in (("install", "delete"), ("INSTALL", "DELETE"), ("Install", "Delete")):
        result = halvaro(spelling)
        assert result.returncode == 0
        assert result.stdout == "Service installed successfully\n"
        assert service_state() == "RUNNING"
        assert wait_until(service_pids, 10)
        assert reg_get("Start") == 2  # SERVICE_AUTO_START: it starts with the system
        # The event viewer finds the entries' texts in the program itself.
        image = "Z:" + program("Halvaro.exe").replace("/", "\\")
        assert event_source_values() == {"EventMessageFile": ("REG_EXPAND_SZ", image),
                                         "TypesSupported": ("REG_DWORD", "0x7")}

        again = halvaro(spelling)
        assert again.returncode == 0
        assert again.stdout == "CreateService failed (1073)\n"

        deleted = halvaro(removal)
        assert deleted.returncode == 0
        assert deleted.stdout == "Service deleted successfully\n"
        assert event_source_values() is None
        assert wait_until(lambda: service_state() is None, 20)
        assert wait_until(lambda: not service_pids(), 10)

    missing = halvaro("delete")
    assert missing.returncode == 0
    assert missing.stdout == "OpenService failed (1060)\n"


def test_install_refuses_a_directory_that_others_may_change(no_service, tmp_path):
    # A LocalSystem service loads and starts its companions from its own directory. wine
    # shows a directory's Unix mode as its DACL: 0777 lets Everyone write.
    for mode, installs in ((0o777, False), (0o755, True)):
        directory = tmp_path / oct(mode)
        directory.mkdir()
        directory.chmod(mode)
        image = directory / "Halvaro.exe"
        shutil.copy(program("Halvaro.exe"), image)
        windows_path = "Z:" + str(image).replace("/", "\\")
        out = wine(windows_path, "install").stdout
        if installs:
            assert out == "Service installed successfully\n"
            remove_service()
        else:
            assert out.startswith("Can not install service: users who are not administrators "
                                  "may change the directory Z:"), out
            assert service_state() is None


def test_without_a_recognised_argument_the_program_ends_quietly(no_service):
    for args in ((), ("bogus",)):
        result = halvaro(*args)
        assert result.returncode == 0
        assert result.stdout == ""


def test_a_running_service_shows_its_objects_and_a_stop_takes_them_away(running_service):
    assert wait_until(lambda: reg_get("CurrentServiceMode") == 1, 10)  # the listener runs
    assert service_mutexes() == ("1", "1")
    # Both pipes refuse network clients before they let everyone else in.
    for pipe in ("sub", "av"):
        result = wine(program("SimClient.exe"), "dacl", pipe)
        assert result.returncode == 0, result.stderr
        aces = [dict(p.split("=", 1) for p in line.split()[1:])
                for line in result.stdout.splitlines() if line.startswith("ace ")]
        assert [(a["type"], a["sid"]) for a in aces] == [("deny", NETWORK), ("allow", EVERYONE)]
        assert int(aces[0]["mask"], 16) & 0x1201BF == 0x1201BF, aces  # all that is allowed
    pids = service_pids()
    assert pids
    # About 0.6 s here; the bound leaves room for a loaded machine, and still catches a stop
    # that waits out a transfer or an event wait it should have cut short.
    assert stop_seconds() < 3.0
    assert reg_get("CurrentServiceMode") is None
    assert service_mutexes() == ("0", "0")


def test_av_mode_left_on_is_gone_after_the_next_start(clean_service):
    reg_set("CurrentAVMode", 1)
    reg_set("EMAMaxRegister", 0)
    start_service()
    assert wait_until(lambda: reg_get("CurrentAVMode") is None, 10)
    assert reg_get("EMAMaxRegister") == 0


def test_hidden_window_grants_power_queries(running_service):
    simpower = program("SimPower.exe")
    # The service's process is up before its window is: look until it is there.
    assert wait_until(lambda: wine(simpower, "find").returncode == 0, 10)
    for wparam in ("0", "4", "18"):  # query suspend, suspend, resume automatic
        result = wine(simpower, "broadcast", wparam)
        assert result.stdout.strip() == "result 1"
