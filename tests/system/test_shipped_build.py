"""The programs that ship are 32-bit PE files that need no MinGW runtime DLL: the service and
HalvaroCtl console programs, the agent a GUI program with its version and manifest."""
import os
import subprocess

import pytest

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


def test_agent_carries_its_version_and_manifest():
    with open(os.path.join(SHIPPED, "Quenlit.exe"), "rb") as f:
        image = f.read()
    assert "1, 0, 0, 0".encode("utf-16-le") in image
    assert b'level="asInvoker" uiAccess="false"' in image
