"""The programs that ship are 32-bit console PE files that need no MinGW runtime DLL."""
import os
import subprocess

import pytest

SHIPPED = os.path.join(os.environ.get("HALVARO_SOURCE", "."), "build", "windows-x86", "bin")
MINGW_RUNTIME = ("libgcc", "libstdc++", "libwinpthread")


@pytest.mark.parametrize("name", ["Halvaro.exe"])
def test_shipped_program_is_a_static_pe32_console_program(name):
    path = os.path.join(SHIPPED, name)
    assert os.path.exists(path), f"{path} was not built"
    dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", path], capture_output=True,
                          text=True, check=True).stdout
    assert "file format pei-i386" in dump
    assert "Subsystem\t\t00000003" in dump  # the console subsystem
    imports = [line.split(":", 1)[1].strip().lower()
               for line in dump.splitlines() if "DLL Name:" in line]
    assert imports, "no imports found"
    assert not [dll for dll in imports if dll.startswith(MINGW_RUNTIME)], imports
