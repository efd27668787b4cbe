"""The installer package (installer/halvaro.wxs) under wine's msiexec: the service it installs
and starts, a second install, an upgrade from an older version, a repair, and the uninstall.
The packages are built from the programs under test, the way the build makes its own."""
import os
import re
import shutil
import struct
import sys

import pytest

from conftest import (PREFIX, SERVICE, SERVICE_KEY, SERVICE_VALUES, image_pids, prefix_processes,
                      program, reg_get, reg_query, reg_set, remove_service, service_pids,
                      service_state, wait_until, wine)

SOURCE = os.environ.get("HALVARO_SOURCE", ".")
sys.path.insert(0, os.path.join(SOURCE, "installer"))
import build_package  # noqa: E402

DRIVE_C = os.path.join(PREFIX, "drive_c")
EVENT_SOURCE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application" + "\\" + SERVICE
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
PROGRAMS = ("Halvaro.exe", "Quenlit.exe", "HalvaroCtl.exe")
SETTINGS = {"ComPort": 3, "BuadRate": 19200, "EMAMaxRegister": 4, "ComCmdTimeFrame": 250}
OLDER = "0.1.0"


def project_version():
    with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
        return re.search(r"project\(Halvaro VERSION (\S+)", f.read()).group(1)


def install_dir():
    """Where the 32-bit package puts the programs: the 32-bit program folder, which is
    "Program Files (x86)" on a 64-bit system."""
    x86 = os.path.join(DRIVE_C, "Program Files (x86)")
    return os.path.join(x86 if os.path.isdir(x86) else os.path.join(DRIVE_C, "Program Files"),
                        "Orva")


def installed(name):
    """The Windows path of an installed program."""
    return "C:\\" + os.path.relpath(os.path.join(install_dir(), name), DRIVE_C).replace("/", "\\")


def msiexec(*args):
    return wine("msiexec", *args, "/qn", timeout=120).returncode


def reg_values(key):
    """{name: (type, data)} of a key's values, or None when the key is absent."""
    result = wine("reg", "query", key)
    if result.returncode != 0:
        return None
    return {m.group(1): (m.group(2), m.group(3)) for m in
            re.finditer(r"^    (\S+)    (REG_\w+)    ?(.*)$", result.stdout, re.M)}


def registered_versions():
    """The versions of the product that the installer lists as installed (a 32-bit package
    lists itself in the registry's 32-bit view)."""
    out = wine("reg", "query", UNINSTALL_KEY, "/s", "/reg:32").stdout
    entries = [dict(re.findall(r"^    (DisplayName|DisplayVersion)    REG_SZ    (.*)$", e, re.M))
               for e in re.split(r"^HKEY_", out, flags=re.M)]
    return sorted(e.get("DisplayVersion") for e in entries if e.get("DisplayName") == SERVICE)


def settings():
    return {name: reg_get(name) for name in SETTINGS}


def assert_runs_quoted_from_the_install_dir():
    assert wait_until(lambda: service_state() == "RUNNING", 10), service_state()
    assert reg_values(SERVICE_KEY)["ImagePath"][1] == f'"{installed("Halvaro.exe")}"'
    pids = wait_until(service_pids, 10)
    assert pids, "no service process"
    argv = dict(prefix_processes())[pids[0]]
    assert argv[0].strip('"') == installed("Halvaro.exe"), argv


def older_programs(folder):
    """Copies of the programs under test whose version resources say OLDER, and the custom
    action."""
    major, minor, patch = map(int, OLDER.split("."))
    for name in PROGRAMS:
        with open(program(name), "rb") as f:
            image = bytearray(f.read())
        # VS_FIXEDFILEINFO: the signature, the structure's version, then the file's and the
        # product's version, each as two words.
        at = image.index(struct.pack("<I", 0xFEEF04BD)) + 8
        struct.pack_into("<4I", image, at, *[major << 16 | minor, patch << 16] * 2)
        with open(os.path.join(folder, name), "wb") as f:
            f.write(image)
    shutil.copy(program("ServiceActions.dll"), folder)


@pytest.fixture(scope="module")
def packages(tmp_path_factory):
    """(package of the programs under test, package of an older version)."""
    version = project_version()
    assert tuple(map(int, OLDER.split("."))) < tuple(map(int, version.split(".")))
    root = tmp_path_factory.mktemp("packages")
    older = root / "older"
    older.mkdir()
    older_programs(older)
    current, previous = root / f"Halvaro-{version}.msi", root / f"Halvaro-{OLDER}.msi"
    build_package.build(version, os.path.dirname(program("Halvaro.exe")), current)
    build_package.build(OLDER, older, previous)
    # msiexec takes a Windows path; wine's drive Z: is the Linux root.
    return tuple("Z:" + str(p).replace("/", "\\") for p in (current, previous))


@pytest.fixture
def machine(packages):
    """No service and no package installed before and after the test, and a program planted
    at "C:\\Program.exe", which must never run."""
    remove_service()
    decoy = os.path.join(DRIVE_C, "Program.exe")
    shutil.copy(program("SimCompanion.exe"), decoy)
    yield
    registered = registered_versions()
    for version, package in zip((project_version(), OLDER), packages):
        if version in registered:
            msiexec("/x", package)
    remove_service()
    assert not image_pids("Program.exe"), "the planted program ran"
    os.remove(decoy)
    shutil.rmtree(install_dir(), ignore_errors=True)


def test_install_reinstall_and_uninstall(packages, machine, mixer_machine):
    # On the mixer machine, where the service has its agent running beside it.
    current, _ = packages
    assert msiexec("/i", current) == 0
    assert_runs_quoted_from_the_install_dir()
    assert not image_pids("Program.exe"), "the planted program ran"
    source = reg_values(EVENT_SOURCE_KEY)
    assert source == {"EventMessageFile": ("REG_EXPAND_SZ", installed("Halvaro.exe")),
                      "TypesSupported": ("REG_DWORD", "0x7")}

    # Installed once more while it runs, it keeps running from its place.
    assert msiexec("/i", current) == 0
    assert_runs_quoted_from_the_install_dir()

    # The installed program's own delete and install work there, and make the same entry and
    # event log source.
    packaged = {k: v for k, v in reg_values(SERVICE_KEY).items() if k not in SERVICE_VALUES}
    remove_service()
    made = wine(os.path.join(install_dir(), "Halvaro.exe"), "install")
    assert made.stdout == "Service installed successfully\n", made.stdout
    assert {k: v for k, v in reg_values(SERVICE_KEY).items()
            if k not in SERVICE_VALUES} == packaged
    assert reg_values(EVENT_SOURCE_KEY) == source

    assert wait_until(lambda: image_pids("Quenlit.exe"), 10), "no agent on the mixer machine"
    assert msiexec("/x", current) == 0
    assert service_state() is None
    assert reg_query() is None
    assert wait_until(lambda: not image_pids("Halvaro.exe") and not image_pids("Quenlit.exe"),
                      10), (image_pids("Halvaro.exe"), image_pids("Quenlit.exe"))
    assert not os.path.exists(install_dir()), os.listdir(install_dir())
    assert reg_values(EVENT_SOURCE_KEY) is None
    assert registered_versions() == []


def test_upgrade_and_repair_keep_the_settings(packages, machine):
    current, previous = packages
    assert msiexec("/i", previous) == 0
    for name, value in SETTINGS.items():
        reg_set(name, value)

    assert msiexec("/i", current) == 0
    assert registered_versions() == [project_version()]
    assert settings() == SETTINGS
    for name in PROGRAMS:
        with open(os.path.join(install_dir(), name), "rb") as a, open(program(name), "rb") as b:
            assert a.read() == b.read(), f"{name} is not the new one"
    assert_runs_quoted_from_the_install_dir()

    # A repair, as msiexec /fa asks for it (wine's msiexec /f does not take a package): every
    # file again, a damaged one included.
    damaged = os.path.join(install_dir(), "HalvaroCtl.exe")
    with open(damaged, "wb") as f:
        f.write(b"damaged")
    assert msiexec("/i", current, "REINSTALL=ALL", "REINSTALLMODE=a") == 0
    assert settings() == SETTINGS
    assert os.path.getsize(damaged) == os.path.getsize(program("HalvaroCtl.exe"))
    assert_runs_quoted_from_the_install_dir()
