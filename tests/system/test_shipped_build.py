"""The programs that ship are 32-bit PE files that need no MinGW runtime DLL: the service and
HalvaroCtl console programs, the agent a GUI program with its version and manifest, the
service with the message table of its event log entries."""
import os
import re
import struct
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


# The example clients are to show what runs on NT 5.1 as well, and the installer package's
# custom action runs inside the installer on the same systems.
@pytest.mark.parametrize("name", ["Halvaro.exe", "Quenlit.exe", "HalvaroCtl.exe",
                                  "subscribe_client.exe", "av_volume_client.exe",
                                  "ServiceActions.dll"])
def test_shipped_program_imports_nothing_that_nt51_lacks(name):
    path = os.path.join(SHIPPED, name)
    imports = imported_functions(path)
    assert sum(len(functions) for functions in imports.values()) > 50, imports
    assert missing_on_nt51(path) == []


def resource_data(image, type_id):
    """{(name id, language): bytes} of the resources of `type_id` in a PE image."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<HxxxxxxxxxxxxH", image, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", image, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    resource_rva = struct.unpack_from("<I", image, directories + 2 * 8)[0]
    table = optional + optional_size
    spans = [struct.unpack_from("<IIxxxxI", image, table + 40 * i + 8) for i in range(sections)]

    def at(rva):  # (virtual size, address, raw offset) of each section
        return next(raw + rva - address for size, address, raw in spans
                    if address <= rva < address + size)

    root = at(resource_rva)

    def entries(offset):
        names, ids = struct.unpack_from("<HH", image, offset + 12)
        for i in range(names + ids):
            yield struct.unpack_from("<II", image, offset + 16 + 8 * i)

    found = {}
    for type_entry, names in entries(root):
        if type_entry != type_id:
            continue
        for name, languages in entries(root + (names & 0x7FFFFFFF)):
            for language, leaf in entries(root + (languages & 0x7FFFFFFF)):
                rva, size = struct.unpack_from("<II", image, root + leaf)
                found[(name, language)] = image[at(rva):at(rva) + size]
    return found


def message_texts(table):
    """{id: text} of a message table resource (Unicode entries only)."""
    texts = {}
    blocks = struct.unpack_from("<I", table, 0)[0]
    for block in range(blocks):
        low, high, offset = struct.unpack_from("<III", table, 4 + 12 * block)
        for message_id in range(low, high + 1):
            length, flags = struct.unpack_from("<HH", table, offset)
            assert flags == 1, f"message {message_id:#x} is not Unicode"
            texts[message_id] = table[offset + 4:offset + length].decode("utf-16-le").rstrip("\0")
            offset += length
    return texts


def test_service_carries_the_message_table_of_its_event_log():
    with open(os.path.join(SHIPPED, "Halvaro.exe"), "rb") as f:
        image = f.read()
    tables = resource_data(image, 11)  # RT_MESSAGETABLE
    assert list(tables) == [(1, 0x409)], tables.keys()
    texts = message_texts(tables[(1, 0x409)])
    header = os.path.join(SHIPPED, "..", "generated-messages", "service", "event_messages.h")
    with open(header) as f:
        ids = {int(v, 16) for v in re.findall(r"#define MSG_\w+ \(DWORD\) (0x[0-9a-fA-F]+)", f.read())}
    assert ids and set(texts) == ids, (sorted(map(hex, texts)), sorted(map(hex, ids)))
    # English sentences whose insertion strings are numbered from %1 without a gap.
    for message_id, text in texts.items():
        assert re.match(r"^[A-Z].*\.\r?\n$", text, re.S), (hex(message_id), text)
        numbers = sorted({int(n) for n in re.findall(r"%(\d+)", text)})
        assert numbers == list(range(1, len(numbers) + 1)), (hex(message_id), text)
    # The program reports through the event log functions, which NT 5.1 has (checked above).
    reporting = {"RegisterEventSourceW", "ReportEventW", "DeregisterEventSource"}
    assert reporting <= set(imported_functions(os.path.join(SHIPPED, "Halvaro.exe"))["advapi32.dll"])


def test_shipped_package_holds_the_programs_at_their_version():
    with open(os.path.join(os.environ.get("HALVARO_SOURCE", "."), "CMakeLists.txt")) as f:
        version = re.search(r"project\(Halvaro VERSION (\S+)", f.read()).group(1)
    package = os.path.join(SHIPPED, "..", f"Halvaro-{version}.msi")
    assert os.path.exists(package), f"{package} was not built"
    rows = subprocess.run(["msiinfo", "export", package, "File"], capture_output=True,
                          text=True, check=True).stdout.splitlines()[3:]
    # File, Component_, FileName, FileSize, Version, ...: an installer replaces an older
    # program only when the package gives the newer one its version.
    files = {r.split("\t")[2]: (int(r.split("\t")[3]), r.split("\t")[4]) for r in rows}
    assert files == {name: (os.path.getsize(os.path.join(SHIPPED, name)), f"{version}.0")
                     for name in ("Halvaro.exe", "Quenlit.exe", "HalvaroCtl.exe")}
