"""The programs that ship are 32-bit PE files that need no MinGW runtime DLL: the service and
HalvaroCtl console programs, the agent a GUI program with its version and manifest."""
import os
import re
import subprocess

import pytest

from nt51_imports import declared_at_nt51, imported_functions, missing_on_nt51, vc70_runtime_exports

SHIPPED = os.path.join(os.environ.get("HALVARO_SOURCE", "."), "build", "windows-x86", "bin")
MINGW_RUNTIME = ("libgcc", "libstdc++", "libwinpthread")


@pytest.mark.parametrize("name,subsystem", [("Halvaro.exe", 3), ("Quenlit.exe", 2),
                                            ("HalvaroCtl.exe", 3)])
def test_shipped_program_is_a_static_pe32_program(name, subsystem):
    path = os.path.join(SHIPPED, name)
    assert os.path.exists(path), f"{path} was not built"
    dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", path], capture_output=True,
                          text=True, check=True).stdout
    assert "file format pei-i386" in dump
    assert f"Subsystem\t\t{subsystem:08x}" in dump  # 3 console, 2 GUI
    imports = [line.split(":", 1)[1].strip().lower()
               for line in dump.splitlines() if "DLL Name:" in line]
    assert imports, "no imports found"
    assert not [dll for dll in imports if dll.startswith(MINGW_RUNTIME)], imports


def test_every_program_carries_the_one_version_and_the_agent_its_manifest():
    with open(os.path.join(os.environ.get("HALVARO_SOURCE", "."), "CMakeLists.txt")) as f:
        version = re.search(r"project\(Halvaro VERSION (\S+)", f.read()).group(1)
    for name in ("Halvaro.exe", "Quenlit.exe", "HalvaroCtl.exe"):
        with open(os.path.join(SHIPPED, name), "rb") as f:
            image = f.read()
        # The value follows its name after the padding to a 32-bit boundary.
        value = re.escape("FileVersion\0".encode("utf-16-le")) + b"(?:\0\0)?" + \
            re.escape(f"{version}\0".encode("utf-16-le"))
        assert re.search(value, image), name
        if name == "Quenlit.exe":
            assert b'level="asInvoker" uiAccess="false"' in image


def test_the_nt51_judge_tells_newer_functions_apart():
    # The functions that once kept the programs from loading on NT 5.x, and two it has.
    newer = ["GetTickCount64", "AcquireSRWLockExclusive", "GetNamedPipeServerProcessId"]
    assert declared_at_nt51(newer + ["CreateFileW", "TryEnterCriticalSection"]) == \
        {"CreateFileW", "TryEnterCriticalSection"}
    assert "wcscpy_s" not in vc70_runtime_exports()


# The example clients are to show what runs on NT 5.1 as well.
@pytest.mark.parametrize("name", ["Halvaro.exe", "Quenlit.exe", "HalvaroCtl.exe",
                                  "subscribe_client.exe", "av_volume_client.exe"])
def test_shipped_program_imports_nothing_that_nt51_lacks(name):
    path = os.path.join(SHIPPED, name)
    imports = imported_functions(path)
    assert sum(len(functions) for functions in imports.values()) > 50, imports
    assert missing_on_nt51(path) == []
