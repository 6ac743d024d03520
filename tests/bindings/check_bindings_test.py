#!/usr/bin/env python3
"""The export-list check fails on every kind of difference it is there for.

    check_bindings_test.py ROOT

Copies the files the check reads into a scratch tree, changes one thing at a time (a new
export, a new command, a wrong type or argument count in a binding) and expects the check to
fail naming it; the unchanged copy must pass.
"""

import os
import subprocess
import sys
import tempfile

import scratch_tree
from scratch_tree import NEW_EXPORTS, NEW_ROW

ROOT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", ".."))
CHECK = os.path.join(ROOT, "tests", "bindings", "check_bindings.py")
FILES = [
    "include/tq_RWD_DLL.h",
    "include/tq_RWD_DLL.hpp",
    "link/commands.h",
    "tests/header/exports.txt",
]
HOST_DIR = "tests/windows"  # as scripts/gen-lists.py names it (checked in main)


def append(path, text):
    with open(path, "a", encoding="utf-8") as f:
        f.write(text)


def replace(path, old, new):
    text = open(path, encoding="utf-8").read()
    assert old in text, f"{old!r} not in {path}"
    open(path, "w", encoding="utf-8").write(text.replace(old, new, 1))


def add_row(root):
    path = os.path.join(root, "link", "commands.h")
    text = open(path, encoding="utf-8").read()
    at = text.index("}};")
    open(path, "w", encoding="utf-8").write(text[:at] + NEW_ROW + text[at:])


# (what is changed, the change, lines the check must print)
CASES = [
    ("a new command's exports in the header only",
     lambda r: append(os.path.join(r, "include", "tq_RWD_DLL.h"), NEW_EXPORTS),
     ["tests/header/exports.txt: tqrf_ReadSerialNumber is missing",
      "bindings/python/src/tqrf/_prototypes.py: tqrf_reader_serial_number is missing",
      "bindings/dotnet: tqrf_ReadSerialNumber is missing",
      "bindings/dotnet: tqrf_reader_serial_number is missing"]),
    ("a new table row",
     add_row,
     ["command table: READ_SERIAL names tqrf_ReadSerialNumber, which no header declares",
      "fuzz: no fuzz target calls tqrf_reader_serial_number (READ_SERIAL)"]),
]

# (what is changed, file, text, its replacement, the line the check must print)
EDITS = [
    ("a wrong Python argument type", "bindings/python/src/tqrf/_prototypes.py",
     '"tqrf_reader_beep": ([c_handle, i32, i32], i32)', '"tqrf_reader_beep": ([c_handle, i32, u32], i32)',
     "bindings/python/src/tqrf/_prototypes.py: tqrf_reader_beep argument 3 is u32, the header has i32"),
    ("a .NET declaration one argument short", "bindings/dotnet/NativeMethods.g.cs",
     "tqrf_authentication_2(int keyType, int sector, int block)", "tqrf_authentication_2(int keyType, int sector)",
     "bindings/dotnet: tqrf_authentication_2 takes 2 arguments, the header declares 3"),
    ("a .NET output passed as input", "bindings/dotnet/NativeMethods.g.cs",
     "tqrf_read(int block, [In, Out] byte[] data)", "tqrf_read(int block, [In] byte[] data)",
     "bindings/dotnet: tqrf_read argument 2 is bytes_in, the header has bytes_out"),
    ("a host function-pointer type that differs", f"{HOST_DIR}/host_exports.g.h",
     "fn_tqrf_initval)(int32_t block, uint32_t value);", "fn_tqrf_initval)(int32_t block, int32_t value);",
     f"{HOST_DIR} host: tqrf_initval argument 2 is i32, the header has u32"),
    ("a Reader method missing in Python", "bindings/python/src/tqrf/reader.py",
     '"tqrf_reader_beep"', '"tqrf_reader_beeps"',
     "bindings/python: nothing in the package calls tqrf_reader_beep (a Reader method?)"),
    ("a Reader method missing in .NET", "bindings/dotnet/Reader.cs",
     "NativeMethods.tqrf_reader_beep(", "NativeMethods.tqrf_reader_beeps(",
     "bindings/dotnet: no class calls NativeMethods.tqrf_reader_beep (a Reader method?)"),
]
for what, rel, old, new, line in EDITS:
    CASES.append((what, lambda r, rel=rel, old=old, new=new: replace(os.path.join(r, rel), old, new), [line]))


def scratch_copy(into):
    scratch_tree.scratch_copy(ROOT, into, FILES, HOST_DIR)


def run_check(root):
    p = subprocess.run([sys.executable, CHECK, root], capture_output=True, text=True)
    return p.returncode, p.stdout


def main():
    failures = 0
    with open(os.path.join(ROOT, "scripts", "gen-lists.py"), encoding="utf-8") as f:
        if f'HOST_DIR = "{HOST_DIR}"' not in f.read():
            print(f"FAIL scripts/gen-lists.py names another host folder than {HOST_DIR}: change it here")
            return 1
    with tempfile.TemporaryDirectory() as tmp:
        base = os.path.join(tmp, "unchanged")
        scratch_copy(base)
        code, out = run_check(base)
        if code != 0:
            print("FAIL the unchanged copy does not pass:\n" + out)
            failures += 1
        for i, (what, change, expected) in enumerate(CASES):
            root = os.path.join(tmp, f"case{i}")
            scratch_copy(root)
            change(root)
            code, out = run_check(root)
            missing = [line for line in expected if line not in out.splitlines()]
            if code != 1 or missing:
                failures += 1
                print(f"FAIL {what}: exit {code}, lines not printed: {missing}\n{out}")
            else:
                print(f"ok   {what}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
