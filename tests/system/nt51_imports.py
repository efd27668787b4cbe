"""Which imported functions of a 32-bit program NT 5.1 (Windows XP SP3) lacks.

Two sources, both from the MinGW-w64 toolchain:
- System DLLs: the headers' own version conditions. A function counts as present on NT 5.1
  when the headers declare it with _WIN32_WINNT and WINVER set to 0x0501; the compiler is
  the judge, through a probe file that takes the address of every name.
- msvcrt.dll, whose functions the headers declare whatever the version: the exports of
  MinGW-w64's import library for the Visual C++ 7.0 runtime (libmsvcr70.a), the generation of
  NT 5.1's msvcrt.dll (file version 7.0.2600). The later additions (the _s functions,
  _ftelli64, ...) are not in it.
"""
import os
import re
import subprocess
import tempfile

TOOL_PREFIX = "i686-w64-mingw32-"
RUNTIME_DIR = "/usr/i686-w64-mingw32/lib"
NT51_DEFINES = ["-D_WIN32_WINNT=0x0501", "-DWINVER=0x0501"]

# The DLLs that the programs may import: each is part of NT 5.1.
NT51_DLLS = {"kernel32.dll", "advapi32.dll", "user32.dll", "gdi32.dll", "ole32.dll",
             "oleaut32.dll", "shlwapi.dll", "shell32.dll", "winmm.dll", "msvcrt.dll",
             "version.dll", "userenv.dll", "wtsapi32.dll", "setupapi.dll", "ws2_32.dll"}

# Every header whose functions the programs may call; a function from a header missing here
# is reported as absent, which fails safe.
PROBE_HEADERS = ["windows.h", "tlhelp32.h", "shlwapi.h", "shellapi.h", "mmsystem.h",
                 "objbase.h", "oleauto.h", "aclapi.h", "userenv.h", "wtsapi32.h", "setupapi.h",
                 "winsock2.h"]


def compiler():
    for name in ("gcc-win32", "gcc-posix", "gcc"):
        path = f"/usr/bin/{TOOL_PREFIX}{name}"
        if os.path.exists(path):
            return path
    raise FileNotFoundError(f"no {TOOL_PREFIX}gcc")


def imported_functions(path):
    """{dll (lower case): [function names]} from the program's import tables."""
    dump = subprocess.run([f"{TOOL_PREFIX}objdump", "-p", path], capture_output=True,
                          text=True, check=True).stdout
    imports, dll = {}, None
    for line in dump.splitlines():
        if "DLL Name:" in line:
            dll = line.split(":", 1)[1].strip().lower()
            imports.setdefault(dll, [])
        elif dll and re.match(r"^\t[0-9a-f]+\t +\d+ +\S+$", line):
            imports[dll].append(line.split()[-1])
        elif not line.strip():
            dll = None
    return imports


def declared_at_nt51(names):
    """The subset of `names` that the headers declare for NT 5.1."""
    names = sorted(set(names))
    with tempfile.TemporaryDirectory() as folder:
        probe = os.path.join(folder, "probe.c")
        with open(probe, "w") as f:
            f.writelines(f"#include <{h}>\n" for h in PROBE_HEADERS)
            first_line = len(PROBE_HEADERS) + 1
            f.writelines(f"void *const probe_{i} = (void *)&{n};\n" for i, n in enumerate(names))
        result = subprocess.run([compiler(), "-fsyntax-only", "-w", *NT51_DEFINES, probe],
                                capture_output=True, text=True)
    errors = [line for line in result.stderr.splitlines() if ": error" in line]
    failed = {int(m.group(1)) - first_line
              for m in (re.search(r"probe\.c:(\d+):\d+: error", e) for e in errors) if m}
    if len(failed) != len(errors) or (result.returncode != 0 and not errors):
        raise RuntimeError(f"the headers themselves did not compile: {result.stderr[:2000]}")
    return {n for i, n in enumerate(names) if i not in failed}


def vc70_runtime_exports():
    """The functions and data that the Visual C++ 7.0 runtime exports."""
    listing = subprocess.run([f"{TOOL_PREFIX}nm", os.path.join(RUNTIME_DIR, "libmsvcr70.a")],
                             capture_output=True, text=True, check=True).stdout
    # An import stub defines __imp_ and the name's i686 decoration: one leading underscore.
    return {line.rsplit(" I __imp__", 1)[1].strip()
            for line in listing.splitlines() if " I __imp__" in line}


def missing_on_nt51(path):
    """["dll!function", ...] that NT 5.1 lacks, for the program at `path`."""
    imports = imported_functions(path)
    missing = [f"{dll} (not part of NT 5.1)" for dll in imports if dll not in NT51_DLLS]
    system = [n for dll, functions in imports.items() if dll != "msvcrt.dll" for n in functions]
    declared = declared_at_nt51(system)
    runtime = vc70_runtime_exports()
    for dll, functions in sorted(imports.items()):
        present = runtime if dll == "msvcrt.dll" else declared
        missing += [f"{dll}!{name}" for name in functions if name not in present]
    return missing
