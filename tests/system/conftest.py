"""Helpers for the system tests: the real programs run under wine in the test bed's prefix.

The test bed (scripts/test.sh) exports WINEPREFIX, HALVARO_WINE (the loader) and
HALVARO_BIN (the programs under test)."""
import contextlib
import dataclasses
import os
import re
import subprocess
import threading
import time

import pytest

SERVICE = "Orva WMI Service"
SERVICE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services" + "\\" + SERVICE

WINE = os.environ.get("HALVARO_WINE", "/usr/lib/wine/wine")
BIN = os.environ.get("HALVARO_BIN", "")
PREFIX = os.environ.get("WINEPREFIX", "")


def program(name):
    return os.path.join(BIN, name)


# What wine's launcher prints when it could not create the process at all: the program never
# ran, so running it again repeats nothing.
LAUNCH_FAILED = "ShellExecuteEx failed"


def wine(*args, timeout=60, check=False):
    """Runs a Windows program (a path in BIN or a wine built-in) and returns the result."""
    for _ in range(3):
        result = subprocess.run([WINE, *args], capture_output=True, text=True,
                                errors="replace", timeout=timeout)
        if result.returncode == 0 or LAUNCH_FAILED not in result.stdout + result.stderr:
            break
    if check and result.returncode != 0:
        raise AssertionError(f"{args} failed ({result.returncode}): {result.stdout}{result.stderr}")
    return result


def halvaro(*args, timeout=60):
    return wine(program("Halvaro.exe"), *args, timeout=timeout)


def reg_query(*args):
    """wine's `reg query SERVICE_KEY *args` output, or None when the value (or the key) is
    absent. A query that fails for any other reason fails the test, so that "absent" is
    never a failed query."""
    result = wine("reg", "query", SERVICE_KEY, *args)
    if result.returncode == 0:
        return result.stdout
    said = result.stdout + result.stderr
    if "Unable to find the specified registry" in said:
        return None
    raise AssertionError(f"reg query {' '.join(args)} failed ({result.returncode}): {said}")


def reg_get(name):
    """A REG_DWORD value of the service key, or None when it (or the key) is absent."""
    out = reg_query("/v", name)
    if out is None:
        return None
    for line in out.splitlines():
        parts = line.split()
        if len(parts) >= 3 and parts[0] == name and parts[1] == "REG_DWORD":
            return int(parts[2], 16)
    raise AssertionError(f"reg query {name} gave no REG_DWORD: {out}")


def reg_set(name, value):
    wine("reg", "add", SERVICE_KEY, "/v", name, "/t", "REG_DWORD", "/d", str(value), "/f",
         check=True)


def reg_delete(name):
    wine("reg", "delete", SERVICE_KEY, "/v", name, "/f")


def service_state():
    """The state word of `sc query` (RUNNING, STOPPED, ...), or None when not installed.

    wine's 32-bit sc has been seen to print its whole answer and then not exit (once in a
    full run under load): a query that hangs is ended and asked once more."""
    try:
        result = wine("sc", "query", SERVICE, timeout=15)
    except subprocess.TimeoutExpired:
        result = wine("sc", "query", SERVICE)
    for line in result.stdout.splitlines():
        if "STATE" in line:
            return line.split()[-1]
    return None


def prefix_processes():
    """(pid, argv) of every process of this prefix (and no other)."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                argv = f.read().split(b"\0")
            with open(f"/proc/{entry}/environ", "rb") as f:
                environ = f.read().split(b"\0")
        except OSError:
            continue
        if f"WINEPREFIX={PREFIX}".encode() in environ:
            yield int(entry), [a.decode(errors="replace") for a in argv if a]


def image_pids(image):
    """Ids of this prefix's processes whose program file is named exactly `image`."""
    return [pid for pid, argv in prefix_processes()
            if argv and argv[0].strip('"').replace("/", "\\").rsplit("\\", 1)[-1] == image]


def service_pids():
    """Ids of the Halvaro.exe processes of this prefix that run the service."""
    return [pid for pid, argv in prefix_processes()
            if any("Halvaro.exe" in a for a in argv) and "install" not in argv
            and "delete" not in argv]


def wait_until(predicate, timeout, interval=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def stop_service():
    """Asks the manager to stop the service and waits until its process has ended.

    A stop sent right after a start, before the service has registered its control handler,
    is refused by the manager (seen once under load): it is sent once more."""
    answers = []
    for _ in range(2):
        sent = wine("sc", "stop", SERVICE)
        answers.append(sent.stdout.strip())
        # The service tears down before it reports itself stopped.
        if wait_until(lambda: service_state() == "STOPPED", 15 if sent.returncode == 0 else 5):
            break
    assert service_state() == "STOPPED", (service_state(), answers)
    assert wait_until(lambda: not service_pids(), 5), "service process still running"


def stop_seconds():
    """Stops the service (stop_service) and returns about how long the service took: the time
    less the start-up of the two wine processes (the stop and a query) that it takes at
    least, measured here first."""
    began = time.monotonic()
    service_state()
    wine_process = time.monotonic() - began
    start = time.monotonic()
    stop_service()
    return time.monotonic() - start - 2 * wine_process


def start_service():
    started = wine("sc", "start", SERVICE)
    assert started.returncode == 0, started.stdout
    assert wait_until(service_pids, 10)


def remove_service():
    """Deletes the service if it is installed and waits until the manager has let go.

    A stop refused before the service has registered its control handler (see stop_service)
    leaves "delete" returning without deleting, as it must; a second "delete" is sent."""
    outputs = []
    for _ in range(2):
        if service_state() is None:
            break
        outputs.append(halvaro("delete").stdout)
        if "Service deleted successfully" in outputs[-1]:
            break
        assert wait_until(lambda: service_state() in (None, "STOPPED"), 10), outputs
    assert wait_until(lambda: service_state() is None, 20), ("service entry still present", outputs)
    assert wait_until(lambda: not service_pids(), 10), "service process still running"


# Every value the service reads or writes in its key: a test starts with none of them.
SERVICE_VALUES = ("ComPort", "BuadRate", "EMAMaxRegister", "ComCmdTimeFrame", "CurrentAVMode",
                  "CurrentServiceMode", "AVBoardStatus")


def service_value_names():
    """The names of the values in the service key (one query for all of them)."""
    out = reg_query() or ""
    return {line.split()[0] for line in out.splitlines()
            if line.startswith("    ") and len(line.split()) >= 2}


def clear_service_values():
    present = service_value_names()
    for name in SERVICE_VALUES:
        if name in present:
            reg_delete(name)
    stale = service_value_names() & set(SERVICE_VALUES)
    assert not stale, f"values left in the service key: {stale}"


def install_service():
    """`Halvaro.exe install` (which starts the service), then stopped again."""
    result = halvaro("install")
    assert result.stdout == "Service installed successfully\n", result.stdout
    stop_service()


@pytest.fixture(scope="module")
def service_entry():
    """The service installed once for a module (the install's own behaviour is tested in
    test_service_lifecycle), and removed when the module ends."""
    remove_service()
    install_service()
    yield
    remove_service()


def stop_if_running():
    if service_state() not in (None, "STOPPED") or service_pids():
        stop_service()


@pytest.fixture
def clean_service(service_entry):
    """The service installed and stopped, with none of its values in its key, before and
    after the test. A test that removed the service gets it installed again."""
    if service_state() is None:
        install_service()
    stop_if_running()
    clear_service_values()
    yield
    if service_state() is None:
        install_service()
    stop_if_running()
    clear_service_values()


@pytest.fixture
def no_service():
    """No service installed before and after the test."""
    remove_service()
    yield
    remove_service()


@pytest.fixture
def running_service(clean_service):
    start_service()
    yield


# --- What the platform reports of the service's calls ---

SERVICES_LOG = os.environ.get("HALVARO_SERVICES_LOG", "")
EXECUTION_STATE = re.compile(r"NtSetThreadExecutionState \((0x[0-9a-f]+),")


class ServicesLog:
    """The debug output of the prefix's services (the test bed's log) from now on: wine's
    execution-state call reports there each request the service makes."""

    def __init__(self):
        assert SERVICES_LOG and os.path.exists(SERVICES_LOG), "the test bed keeps no log"
        self.offset = os.path.getsize(SERVICES_LOG)

    def lines(self):
        with open(SERVICES_LOG, "rb") as f:
            f.seek(self.offset)
            return f.read().decode(errors="replace").splitlines()

    def execution_states(self):
        return [int(m.group(1), 16) for m in map(EXECUTION_STATE.search, self.lines()) if m]

    def events(self):
        """The event log entries written since, in order. Wine's ReportEventW reports each
        call with its type and id on one line of the calling thread, then each insertion
        string on a line of its own at the entry's level."""
        entries, last_of_thread, sources = [], {}, set()
        for line in self.lines():
            source = REGISTER_SOURCE.match(line)
            if source:
                sources.add(int(source.group(1), 16))
                continue
            call = REPORT_EVENT.match(line)
            if call:
                pid, thread, kind, event_id, count = call.groups()
                entry = Event(int(pid, 16), EVENT_TYPES[int(kind, 16)], int(event_id, 16),
                              int(count, 16), [], [])
                entries.append(entry)
                last_of_thread[thread] = entry
                continue
            text = EVENT_STRING.match(line)
            if text and text.group(1) in last_of_thread:
                entry = last_of_thread[text.group(1)]
                entry.strings.append(text.group(3).encode().decode("unicode_escape"))
                entry.string_levels.append(text.group(2))
        # Only the processes that opened the service's source: the service's own.
        return [e for e in entries if e.pid in sources]

    def messages(self):
        """The service's entries as (message name, insertion strings), each checked to be
        written at the level of its id, with every one of its strings."""
        names = {event_id: name for name, event_id in MESSAGES.items()}
        said = []
        for e in self.events():
            assert e.level == SEVERITY_LEVELS[e.event_id >> 30], e
            assert len(e.strings) == e.count, e
            assert set(e.string_levels) <= {WINE_CLASSES[e.level]}, e
            said.append((names.get(e.event_id, hex(e.event_id)), e.strings))
        return said


# --- The service's event log entries, as wine reports them (ServicesLog.events) ---

REGISTER_SOURCE = re.compile(r'^([0-9a-f]+):[0-9a-f]+:fixme:advapi:RegisterEventSourceW '
                             r'\(\(null\),L"Orva WMI Service"\)')
REPORT_EVENT = re.compile(r"^([0-9a-f]+):([0-9a-f]+):fixme:advapi:ReportEventW \([0-9A-Fa-f]+,"
                          r"0x([0-9a-f]+),0x[0-9a-f]+,0x([0-9a-f]+),[0-9A-Fa-f]+,0x([0-9a-f]+),")
EVENT_STRING = re.compile(r'^[0-9a-f]+:([0-9a-f]+):(trace|warn|err):eventlog:ReportEventW L"(.*)"$')
EVENT_TYPES = {1: "error", 2: "warning", 4: "information"}
SEVERITY_LEVELS = {1: "information", 2: "warning", 3: "error"}
WINE_CLASSES = {"error": "err", "warning": "warn", "information": "trace"}


@dataclasses.dataclass
class Event:
    pid: int
    level: str
    event_id: int
    count: int
    strings: list
    string_levels: list


def message_ids():
    """{symbolic name: id} from the header that the build made of the message table."""
    header = os.path.join(BIN, "..", "generated-messages", "service", "event_messages.h")
    if not os.path.exists(header):
        return {}
    with open(header) as f:
        return {m.group(1): int(m.group(2), 16) for m in
                re.finditer(r"#define (MSG_\w+) \(DWORD\) (0x[0-9a-fA-F]+)", f.read())}


MESSAGES = message_ids()


# --- The simulated AV board at the far end of a COM port of the prefix ---

import sys  # noqa: E402

sys.path.insert(0, os.path.join(os.environ.get("HALVARO_SOURCE", "."), "sim", "avboard"))
from avboard_sim import AvBoard  # noqa: E402

BOARD_PORT = 7


def com_link(port):
    return os.path.join(PREFIX, "dosdevices", f"com{port}")


@pytest.fixture
def board():
    """A board on COM7 that acknowledges at once; tests change its behaviour as they need."""
    with AvBoard(com_link(BOARD_PORT)) as b:
        yield b
        # A service still holding the port must let go before the pty's far end closes: under
        # wine, a process with a serial handle open when its pty hangs up can be left hanging
        # in its exit, holding the prefix's server with it.
        stop_if_running()


# --- Frames the service sends, and the service on the board ---

def frame(command, value):
    data = bytes([0x8A, command, value])
    return (data + bytes([~sum(data) & 0xFF])).hex(" ").upper()


def hotkey_frame(percent):
    return frame(0x02, percent)


def set_frame(percent):
    return frame(0x03, percent)


def raw(percent):
    return 65535 * percent // 100


def start_on_board(board, time_frame=None):
    """Starts the installed service on the board (after `clean_service`) and waits for its
    start frames and its listener."""
    stop_if_running()
    reg_set("ComPort", BOARD_PORT)
    if time_frame is not None:
        reg_set("ComCmdTimeFrame", time_frame)
    start_service()
    assert board.wait_frames(3, 15)  # query, disc state, start volume
    assert wait_until(lambda: reg_get("CurrentServiceMode") == 1, 10)


def install_on_board(board, time_frame=None, image=None):
    """Installs the service (from `image`, a copy of Halvaro.exe, when given) and starts it on
    the board: for the benchmarks, which run without the tests' fixtures."""
    installed = wine(image, "install") if image else halvaro("install")
    assert installed.stdout == "Service installed successfully\n", installed.stdout
    start_on_board(board, time_frame)


def hexes(frames):
    return [f.data.hex(" ").upper() for f in frames]


def sent(board):
    return hexes(board.frames())


def driver(*args, timeout=120):
    """AvBoardDriver.exe's key=value output as a dict (values as strings)."""
    result = wine(program("AvBoardDriver.exe"), *map(str, args), timeout=timeout)
    assert result.returncode == 0, result.stdout + result.stderr
    values = {}
    for line in result.stdout.splitlines():
        for pair in line.split():
            key, _, value = pair.partition("=")
            values[key] = value
    return values


# --- The simulated firmware and the subscription pipe's client ---

def firmware(*args):
    result = wine(program("SimFirmware.exe"), *map(str, args))
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def firmware_status():
    return {k: int(v) for k, _, v in
            (line.partition("=") for line in firmware("status").splitlines()) if v.isdigit()}


def client(*args):
    """SimClient.exe's key=value output as a dict."""
    result = wine(program("SimClient.exe"), *map(str, args))
    assert result.returncode == 0, result.stdout + result.stderr
    return dict(pair.split("=", 1) for pair in result.stdout.split() if "=" in pair)


class Watcher:
    """SimClient.exe watch: a subscribed client that reports its wake-ups live."""

    def __init__(self, seconds=30):
        self.process = subprocess.Popen([WINE, program("SimClient.exe"), "watch", str(seconds)],
                                        stdout=subprocess.PIPE, text=True)
        self.lines = []
        import threading
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        first = self.wait_for("subscribed", 15)
        assert first, "watcher did not subscribe"
        fields = dict(p.split("=") for p in first.split()[1:])
        self.pid = int(fields["pid"])
        self.result = int(fields["result"], 16)

    def _read(self):
        for line in self.process.stdout:
            self.lines.append(line.strip())

    def wait_for(self, prefix, timeout):
        found = wait_until(lambda: next((l for l in self.lines if l.startswith(prefix)), None),
                           timeout)
        return found

    def codes(self):
        return [int(l.split("=")[1]) for l in self.lines if l.startswith("event code=")]

    def close(self):
        """Ends the watcher, unsubscribed first, so that the service holds nothing for it."""
        if self.process.poll() is None and "removed" not in self.lines:
            wine(program("SimClient.exe"), "unsubscribe", str(self.pid))
        self.process.kill()
        self.process.wait()


@pytest.fixture
def firmware_reset():
    firmware("reset")
    yield
    firmware("reset")


# --- The simulated audio endpoint and the simulated mixer ---

def simaudio(*args):
    """SimAudio.exe's key=value output as a list of dicts, one per line."""
    result = wine(program("SimAudio.exe"), *map(str, args))
    assert result.returncode == 0, result.stdout + result.stderr
    return [dict(p.split("=", 1) for p in line.split() if "=" in p)
            for line in result.stdout.splitlines()]


def simmixer(*args):
    """SimMixer.exe's key=value output as one dict."""
    result = wine(program("SimMixer.exe"), *map(str, args))
    assert result.returncode == 0, result.stdout + result.stderr
    return dict(p.split("=", 1) for p in result.stdout.split() if "=" in p)


APP_DEFAULTS = r"HKCU\Software\Wine\AppDefaults"


def reg_add_settled(*args):
    """wine's reg add, once more when it fails without a word (seen once in a full run)."""
    for _ in range(2):
        result = wine("reg", "add", *args)
        if result.returncode == 0:
            return
    raise AssertionError(f"reg add {args} failed ({result.returncode}): "
                         f"{result.stdout}{result.stderr}")


def set_mixer_machine(image, on):
    """Makes `image` (a program of BIN) see the older version and load the simulated mixer
    beside it, or undoes that."""
    key = APP_DEFAULTS + "\\" + image
    if on:
        reg_add_settled(key, "/v", "Version", "/d", "winxp", "/f")
        reg_add_settled(key + r"\DllOverrides", "/v", "winmm", "/d", "native", "/f")
    else:
        wine("reg", "delete", key, "/f")


@pytest.fixture
def audio_reset():
    simaudio("reset")
    yield
    simaudio("reset")


MIXER_MACHINE_IMAGES = ("VolumeDriver.exe", "Halvaro.exe", "Quenlit.exe")


@pytest.fixture
def mixer_machine():
    """VolumeDriver.exe, Halvaro.exe and Quenlit.exe on the older version with the simulated
    mixer."""
    simmixer("reset")
    for image in MIXER_MACHINE_IMAGES:
        set_mixer_machine(image, True)
    yield
    for image in MIXER_MACHINE_IMAGES:
        set_mixer_machine(image, False)
    simmixer("reset")


def volume_driver(*args, timeout=120):
    """VolumeDriver.exe's last key=value line as a dict."""
    result = wine(program("VolumeDriver.exe"), *map(str, args), timeout=timeout)
    assert result.returncode == 0, result.stdout + result.stderr
    lines = [l for l in result.stdout.splitlines() if "=" in l]
    return dict(p.split("=", 1) for p in lines[-1].split() if "=" in p)


class VolumeWatcher:
    """VolumeDriver.exe watch: a monitor whose change callback prints each call."""

    def __init__(self, seconds=30):
        import threading
        self.process = subprocess.Popen([WINE, program("VolumeDriver.exe"), "watch", str(seconds)],
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        text=True)
        self.lines = []
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        started = wait_until(lambda: any(l.startswith("watching") for l in self.lines), 20)
        assert started, "volume watcher did not start"
        self.kind = int(started and next(l for l in self.lines
                                         if l.startswith("watching")).split("=")[1])

    def _read(self):
        for line in self.process.stdout:
            self.lines.append(line.strip())

    def calls(self):
        return [dict(p.split("=") for p in l.split()[1:]) for l in self.lines
                if l.startswith("callback")]

    def volumes(self):
        return [int(c["volume"]) for c in self.calls()]

    def close(self):
        self.process.kill()
        self.process.wait()


def simdrive(*args):
    """SimDrive.exe's key=value output as one dict."""
    result = wine(program("SimDrive.exe"), *map(str, args))
    assert result.returncode == 0, result.stdout + result.stderr
    return dict(p.split("=", 1) for p in result.stdout.split() if "=" in p)


@pytest.fixture
def drive_empty():
    simdrive("remove")
    yield
    simdrive("remove")


# --- Hostile clients and load (the reliability tests and the soak) ---

def abuse(*args, timeout=900):
    """PipeAbuse.exe's key=value output as a dict."""
    result = wine(program("PipeAbuse.exe"), *map(str, args), timeout=timeout)
    assert result.returncode == 0, result.stdout + result.stderr
    return dict(p.split("=", 1) for p in result.stdout.split() if "=" in p)


def counts():
    """The service process's threads and handles."""
    return {k: int(v) for k, v in abuse("counts").items()}


def settled_counts(baseline, timeout=40):
    """The service's counts once its connection threads have idled out and been let go (no
    more threads and handles than in `baseline`), or as they are after `timeout`."""
    def settled():
        now = counts()
        return now if (now["threads"] <= baseline["threads"] and
                       now["handles"] <= baseline["handles"]) else None
    return wait_until(settled, timeout, interval=0.5) or counts()


@contextlib.contextmanager
def load_of_presses_and_changes(code):
    """Hotkey presses (`code` and volume up) and volume changes, over and over, until the
    block ends."""
    done = threading.Event()

    def keep(args):
        while not done.is_set():
            wine(*args)

    loads = [threading.Thread(target=keep, args=(a,), daemon=True) for a in (
        (program("SimFirmware.exe"), "press", hex(code)),
        (program("SimFirmware.exe"), "press", "0xC0"),
        (program("SimAudio.exe"), "level", "0.3"),
        (program("SimAudio.exe"), "level", "0.7"))]
    for load in loads:
        load.start()
    try:
        yield
    finally:
        done.set()
        for load in loads:
            load.join(30)
