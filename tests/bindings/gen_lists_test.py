#!/usr/bin/env python3
"""The generated lists of exports follow the header, and a hand edit of one is caught.

    gen_lists_test.py ROOT

Copies the tree's header, command table, generated lists and the hand-written bindings the
export-list check reads into a scratch tree, changes the header (an export taken out, a command
taken out, a command added) or edits a generated file by hand, and runs scripts/gen-lists.py
on it: --check must fail naming the file and the command that rewrites it; --write must bring
every list to the header, after which --check and the export-list check pass. The generated
Python structures lay out as a C compiler lays out the header's (every field's offset and size),
also after a field is added to a field list two layouts share, which is written once.
"""

import ctypes
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tempfile

import scratch_tree
from scratch_tree import NEW_EXPORTS, NEW_ROW

ROOT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", ".."))
GEN = os.path.join(ROOT, "scripts", "gen-lists.py")
CHECK = os.path.join(ROOT, "tests", "bindings", "check_bindings.py")
REWRITE = "rewrite them with: python3 scripts/gen-lists.py --write"


def load_generator():
    found = importlib.util.spec_from_file_location("gen_lists", GEN)
    module = importlib.util.module_from_spec(found)
    sys.modules["gen_lists"] = module
    found.loader.exec_module(module)
    return module


gen = load_generator()
GENERATED = [path for path, _ in gen.OUTPUTS]
EXPORTS, PYTHON, DOTNET, HOST, TABLE = GENERATED
FILES = ["include/tq_RWD_DLL.h", "include/tq_RWD_DLL.hpp", "link/commands.h"] + GENERATED


def scratch_copy(into):
    scratch_tree.scratch_copy(ROOT, into, FILES, gen.HOST_DIR)


def edit(root, rel, fn):
    path = os.path.join(root, rel)
    text = open(path, encoding="utf-8").read()
    new = fn(text)
    assert new != text, f"the change left {rel} as it was"
    open(path, "w", encoding="utf-8").write(new)


def drop_declaration(name):
    return lambda t: re.sub(r"TQRF_API\([^)]*\)\s*" + name + r"\([^;]*\);\n", "", t, count=1)


def drop_row(op):
    return lambda t: re.sub(r"\n *\{Op::" + op + r",[^\n]*", "", t, count=1)


def add_row(text):
    at = text.index("}};")
    return text[:at] + NEW_ROW + text[at:]


def run(*args):
    p = subprocess.run([sys.executable, *args], capture_output=True, text=True)
    return p.returncode, p.stdout + p.stderr


def read(root, rel):
    return open(os.path.join(root, rel), encoding="utf-8").read()


def names_in(root, rel):
    return set(re.findall(r"\btqrf_\w+", read(root, rel)))


FAILURES = []


def expect(ok, what, out=""):
    if not ok:
        FAILURES.append(what)
        print(f"FAIL {what}\n{out}")


# (what, the header or table change, names that must be gone from / added to lists)
HEADER_CASES = [
    (
        "an export taken out of the header",
        [("include/tq_RWD_DLL.h", drop_declaration("tqrf_reader_last_answer"))],
        {"tqrf_reader_last_answer": [EXPORTS, PYTHON, DOTNET, HOST]},
        {},
    ),
    (
        "a command taken out (its row and its two exports)",
        [("link/commands.h", drop_row("BEEP")),
         ("include/tq_RWD_DLL.h", drop_declaration("tqrf_BeepControl")),
         ("include/tq_RWD_DLL.h", drop_declaration("tqrf_reader_beep"))],
        {"tqrf_BeepControl": [EXPORTS, DOTNET, HOST, TABLE], "tqrf_reader_beep": [EXPORTS, PYTHON, DOTNET, HOST, TABLE]},
        {},
    ),
    (
        "a command added (its row and its two exports)",
        [("link/commands.h", add_row), ("include/tq_RWD_DLL.h", lambda t: t + NEW_EXPORTS)],
        {},
        {"tqrf_ReadSerialNumber": [EXPORTS, DOTNET, HOST, TABLE],
         "tqrf_reader_serial_number": [EXPORTS, PYTHON, DOTNET, HOST, TABLE]},
    ),
]


def header_case(tmp, i, what, changes, gone, added):
    root = os.path.join(tmp, f"header{i}")
    scratch_copy(root)
    for rel, fn in changes:
        edit(root, rel, fn)
    code, out = run(GEN, "--check", root)
    stale = sorted({rel for d in (gone, added) for rels in d.values() for rel in rels})
    expect(code == 1 and REWRITE in out and all(rel in out for rel in stale),
           f"{what}: --check before --write: exit {code}, wants 1 naming {stale}", out)
    code, out = run(GEN, "--write", root)
    expect(code == 0, f"{what}: --write: exit {code}", out)
    for name, rels in gone.items():
        for rel in rels:
            expect(name not in names_in(root, rel), f"{what}: {rel} still names {name}")
    for name, rels in added.items():
        for rel in rels:
            expect(name in names_in(root, rel), f"{what}: {rel} lacks {name}")
    code, out = run(GEN, "--check", root)
    expect(code == 0, f"{what}: --check after --write: exit {code}", out)
    code, out = run(CHECK, root)
    if added:
        # What is left to do by hand: the fuzzer and the Reader methods, named by the check.
        wanted = ["fuzz: no fuzz target calls tqrf_reader_serial_number (READ_SERIAL)",
                  "bindings/python: nothing in the package calls tqrf_reader_serial_number (a Reader method?)",
                  "bindings/dotnet: no class calls NativeMethods.tqrf_reader_serial_number (a Reader method?)"]
        lines = out.splitlines()
        extra = [l for l in lines if l.startswith(("tests/", "bindings/python/src", f"{gen.HOST_DIR} host"))]
        expect(code == 1 and all(w in lines for w in wanted) and not extra,
               f"{what}: the export-list check after --write names only the hand-written gaps", out)
    else:
        expect(code == 0, f"{what}: the export-list check after --write: exit {code}", out)
    if not FAILURES:
        print(f"ok   {what}")


# (the generated file, a hand edit)
HAND_EDITS = [
    (EXPORTS, lambda t: t.replace("tqrf_halt\n", "")),
    (PYTHON, lambda t: t.replace('"tqrf_reader_beep": ([c_handle, i32, i32], i32)',
                                 '"tqrf_reader_beep": ([c_handle, i32, u32], i32)')),
    (DOTNET, lambda t: t.replace("tqrf_read(int block, [In, Out] byte[] data)", "tqrf_read(int block, [In] byte[] data)")),
    (HOST, lambda t: t.replace("fn_tqrf_initval)(int32_t block, uint32_t value)",
                               "fn_tqrf_initval)(int32_t block, int32_t value)")),
    (TABLE, lambda t: t + "// a note\n"),
]


# ---- The Python structures lay out as a C compiler lays out the header's ---------------------

LAYOUT_PROGRAM = """#include <stdio.h>
#include "tq_RWD_DLL.h"
#define FIELD(s, f) printf("%s.%s %zu %zu\\n", #s, #f, offsetof(s, f), sizeof(((s*)0)->f));
int main(void) {
BODY    return 0;
}
"""


def python_structs(root):
    """The generated Python module of a tree, loaded as a package of its own."""
    folder = os.path.join(root, "bindings", "python", "src", "tqrf")
    package = f"tqrf_layout_{len(sys.modules)}"
    found = importlib.util.spec_from_file_location(package, os.path.join(folder, "__init__.py"),
                                                   submodule_search_locations=[folder])
    sys.modules[package] = importlib.util.module_from_spec(found)  # not run: it loads the library
    return __import__(f"{package}._prototypes", fromlist=["_prototypes"])


def layout_case(tmp, what, root, compiler):
    """Every field's offset and size, and each structure's size, as ctypes and the compiler see them."""
    module = python_structs(root)
    lines, want = [], []
    for cname, info in gen.STRUCTS.items():
        cls = getattr(module, info["py"])
        for name, _ in cls._fields_:
            lines.append(f"    FIELD({cname}, {name})\n")
            want.append(f"{cname}.{name} {getattr(cls, name).offset} {getattr(cls, name).size}")
        lines.append(f'    printf("{cname} %zu\\n", sizeof({cname}));\n')
        want.append(f"{cname} {ctypes.sizeof(cls)}")
    include = os.path.join(tmp, f"layout-{len(os.listdir(tmp))}")
    os.makedirs(include)
    # The header's version, which the build writes: any version lays out the same.
    with open(os.path.join(include, "tq_RWD_DLL_version.h"), "w", encoding="utf-8") as f:
        f.write("#define TQRF_VERSION_MAJOR 0\n#define TQRF_VERSION_MINOR 0\n#define TQRF_VERSION_PATCH 0\n"
                '#define TQRF_VERSION_STRING "0.0.0"\n')
    source, program = os.path.join(include, "layout.c"), os.path.join(include, "layout")
    with open(source, "w", encoding="utf-8") as f:
        f.write(LAYOUT_PROGRAM.replace("BODY", "".join(lines)))
    built = subprocess.run([compiler, "-std=c99", "-I", include, "-I", os.path.join(root, "include"), "-o", program,
                            source], capture_output=True, text=True)
    expect(built.returncode == 0, f"{what}: the layout program does not compile", built.stderr)
    if built.returncode == 0:
        got = subprocess.run([program], capture_output=True, text=True).stdout.split("\n")[:-1]
        wrong = [f"C {c} / ctypes {p}" for c, p in zip(got, want) if c != p]
        expect(len(got) == len(want) and not wrong, f"{what}: the Python structures lay out otherwise",
               "\n".join(wrong))
    if not FAILURES:
        print(f"ok   {what}")


def layout_cases(tmp):
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if compiler is None:
        print("skipped: no C compiler, the layouts of the Python structures are not compared")
        return
    layout_case(tmp, "the Python structures lay out as the header's", ROOT, compiler)
    # A field added to a list both layouts share: written once, and both layouts follow it.
    root = os.path.join(tmp, "shared")
    scratch_copy(root)
    edit(root, "include/tq_RWD_DLL.h", lambda t: t.replace("int32_t outcome; ", "int32_t outcome; uint8_t flags;", 1))
    code, out = run(GEN, "--write", root)
    expect(code == 0, f"a field added to a shared list: --write: exit {code}", out)
    count = read(root, PYTHON).count('("flags", ctypes.c_uint8)')
    expect(count == 1, f"a field added to a shared list is written {count} times, wants once")
    layout_case(tmp, "a field added to a shared list: both layouts as the header's", root, compiler)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        base = os.path.join(tmp, "unchanged")
        scratch_copy(base)
        code, out = run(GEN, "--check", base)
        expect(code == 0, "the unchanged copy does not pass --check", out)
        for i, case in enumerate(HEADER_CASES):
            header_case(tmp, i, *case)
        for i, (rel, fn) in enumerate(HAND_EDITS):
            root = os.path.join(tmp, f"edit{i}")
            scratch_copy(root)
            edit(root, rel, fn)
            code, out = run(GEN, "--check", root)
            expect(code == 1 and REWRITE in out and f"differ from the header: {rel}" in out,
                   f"a hand edit of {rel}: --check exit {code}, wants 1 naming it and the command", out)
            code, out = run(GEN, "--write", root)
            expect(read(root, rel) == read(ROOT, rel), f"a hand edit of {rel}: --write does not undo it", out)
            if not FAILURES:
                print(f"ok   a hand edit of {rel}")
        layout_cases(tmp)
    if FAILURES:
        print(f"{len(FAILURES)} failure(s)")
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
