#!/usr/bin/env python3
"""Every list of the library's exports, compared with the public headers and the command table.

    check_bindings.py [ROOT] [--header FILE]...

Reads the C functions the public headers declare (name, result type, argument types) and the
exports of every row of the command table (link/commands.h), then checks:

  tests/header/exports.txt                 exactly the declared names
  bindings/python/src/tqrf/_prototypes.py  each prototype matches its declaration; every handle
                                           export (tqrf_reader_*) and tqrf_strerror is there
  bindings/dotnet/*.cs                     each P/Invoke matches its declaration; every export
                                           is there
  the Windows host (HOST_DIR/*.[ch])       each function-pointer type the host binds to a name
                                           matches that name's declaration
  fuzz/**/*.cpp                            the fuzzer calls both exports of every command
  the bindings' own classes                every export after the legacy ones that Python binds
                                           is called by the package (a Reader method, ports.py),
                                           and by the .NET classes (Reader, Ports)

The lists above the last two are written by scripts/gen-lists.py (its own test keeps them
current); checking them here too, by an independent reading, catches a wrong type mapping in
the generator. The last two are hand-written.

Types are compared by what crosses the interface: 32-bit signed or unsigned, a byte buffer
read or written, a 32-bit output, a reader handle, a callback. Prints one line per difference
and exits 1 when there is any, 0 when everything agrees.
"""

from __future__ import annotations

import argparse
import glob
import importlib.util
import os
import re
import sys
from typing import Dict, Iterable, List, Set, Tuple

Signature = Tuple[str, List[str]]  # result, arguments (canonical type names)

HERE = os.path.dirname(os.path.abspath(__file__))


def generator_host_dir() -> str:
    """The Windows host's folder, as the generator (scripts/gen-lists.py) names it."""
    path = os.path.join(HERE, "..", "..", "scripts", "gen-lists.py")
    found = importlib.util.spec_from_file_location("gen_lists", path)
    assert found and found.loader
    module = importlib.util.module_from_spec(found)
    sys.modules["gen_lists"] = module
    found.loader.exec_module(module)
    return str(module.HOST_DIR)


# Exports a binding leaves out on purpose, with the reason. A name here that the binding does
# have is reported as a note, so the list can shrink.
NOT_IN_PYTHON: Dict[str, str] = {}
NOT_IN_DOTNET: Dict[str, str] = {}
# The 1.2 forms of calls that have a growable form: kept for programs built against 1.2, and
# declared in the bindings, which call the growable form.
SUPERSEDED = {"tqrf_list_ports", "tqrf_free_ports", "tqrf_probe"}


def strip_c_comments(text: str) -> str:
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.sub(r"//[^\n]*", " ", text)


def split_top(text: str) -> List[str]:
    """Splits at commas outside brackets and parentheses."""
    parts, depth, cur = [], 0, ""
    for ch in text:
        if ch in "([<":
            depth += 1
        elif ch in ")]>":
            depth -= 1
        if ch == "," and depth == 0:
            parts.append(cur)
            cur = ""
        else:
            cur += ch
    if cur.strip():
        parts.append(cur)
    return [p.strip() for p in parts]


# ---- C -------------------------------------------------------------------------------------

C_NAMED = {
    "int32_t": "i32",
    "uint32_t": "u32",
    "uint64_t": "u64",
    "void": "void",
    "tqrf_trace_fn": "fn",
}
C_POINTED = {"char": "bytes", "uint8_t": "bytes", "uint32_t": "u32", "int32_t": "i32"}


def c_type(decl: str, result: bool = False) -> str:
    """The canonical type of a C parameter declaration or result type."""
    decl = " ".join(decl.replace("*", " * ").split())
    array = re.search(r"\[\s*\d*\s*\]$", decl)
    if array:  # uint8_t data[16]: a pointer
        decl = decl[: array.start()].strip() + " *"
    words = decl.split()
    stars = words.count("*")
    const = "const" in words[: words.index("*")] if stars else "const" in words
    base = [w for w in words if w not in ("const", "*", "__cdecl", "TQRF_CALL")]
    # Drop the parameter name: the type is the first word (or two, for struct).
    if base and base[0] == "struct":
        base = base[:2]
    elif len(base) > 1:
        base = base[:1]
    name = base[0] if base else ""
    if stars == 0:
        return C_NAMED.get(name, name)
    if result and name == "char" and stars == 1:
        return "str"
    if name == "tqrf_reader":
        return "reader" if stars == 1 else "reader_out"
    if name == "void" and stars == 1:
        return "ptr"
    if stars == 1 and name in C_POINTED:
        return C_POINTED[name] + ("_in" if const else "_out")
    return ("const " if const else "") + name + "*" * stars


def c_arguments(text: str) -> List[str]:
    text = " ".join(text.split())
    if text in ("", "void"):
        return []
    return [c_type(p) for p in split_top(text)]


def header_exports(paths: Iterable[str]) -> Dict[str, Signature]:
    found: Dict[str, Signature] = {}
    for path in paths:
        text = strip_c_comments(open(path, encoding="utf-8").read())
        for m in re.finditer(r"TQRF_API\(\s*([^()]*?)\s*\)\s*(\w+)\s*\(([^()]*)\)\s*;", text):
            found[m.group(2)] = (c_type(m.group(1), result=True), c_arguments(m.group(3)))
    return found


def table_exports(path: str) -> List[Tuple[str, str, str]]:
    """(op, legacy export, handle export) of every row of the command table."""
    text = open(path, encoding="utf-8").read()
    return re.findall(r'\{Op::(\w+),[^\n]*"(tqrf_\w+)",\s*"(tqrf_\w+)"\}', text)


# ---- Python --------------------------------------------------------------------------------

PY_TYPES = {
    "i32": "i32",
    "ctypes.c_int32": "i32",
    "u32": "u32",
    "ctypes.c_uint32": "u32",
    "ctypes.c_uint64": "u64",
    "c_u8p": "bytes_out",
    "ctypes.c_char_p": "bytes_in",
    "ctypes.POINTER(u32)": "u32_out",
    "ctypes.POINTER(i32)": "i32_out",
    "c_handle": "reader|ptr",
    "ctypes.c_void_p": "reader|ptr",
    "ctypes.POINTER(c_handle)": "reader_out",
    "TRACE_FN": "fn",
    "None": "void",
    "ctypes.POINTER(ctypes.POINTER(PortInfo))": "tqrf_port_info**",
    "ctypes.POINTER(PortInfo)": "tqrf_port_info*",
    "ctypes.POINTER(ProbeResult)": "tqrf_probe_result*",
    "ctypes.POINTER(ctypes.POINTER(PortInfo2))": "tqrf_port_info2**",
    "ctypes.POINTER(PortInfo2)": "tqrf_port_info2*",
    "ctypes.POINTER(ProbeResult2)": "tqrf_probe_result2*",
    "ctypes.POINTER(ReaderStatsNative)": "tqrf_reader_stats*",
}


def python_prototypes(path: str) -> Dict[str, Signature]:
    text = open(path, encoding="utf-8").read()
    found: Dict[str, Signature] = {}
    for m in re.finditer(r'"(tqrf_\w+)":\s*\(\[(.*?)\],\s*([\w.()]+)\)', text, flags=re.S):
        args = [PY_TYPES.get(a, a) for a in split_top(m.group(2))]
        result = m.group(3)
        found[m.group(1)] = ("str" if result == "ctypes.c_char_p" else PY_TYPES.get(result, result), args)
    return found


# ---- .NET ----------------------------------------------------------------------------------


def dotnet_type(param: str) -> str:
    attrs = ""
    while True:  # leading attributes: [In, Out], [MarshalAs(UnmanagedType.LPStr)]
        m = re.match(r"\s*\[([^\]]*)\]", param)
        if not m:
            break
        attrs += " " + m.group(1)
        param = param[m.end() :]
    rest = param.split()
    by_ref = rest[0] in ("out", "ref")
    if by_ref:
        rest = rest[1:]
    t = rest[0]
    if by_ref:
        return {
            "uint": "u32_out",
            "int": "i32_out",
            "byte": "bytes_out",
            "ReaderHandle": "reader_out",
            "IntPtr": "reader_out|ptr|tqrf_port_info**|tqrf_port_info2**",
            "ProbeResultNative": "tqrf_probe_result*",
            "ProbeResult2Native": "tqrf_probe_result2*",
            "ReaderStatsNative": "tqrf_reader_stats*",
        }.get(t, "out " + t)
    if t == "byte[]":
        return "bytes_out" if "Out" in attrs else "bytes_in"
    return {
        "int": "i32",
        "uint": "u32",
        "ulong": "u64",
        "string": "bytes_in",
        "StringBuilder": "bytes_out",
        "ReaderHandle": "reader",
        "IntPtr": "reader|ptr|str|tqrf_port_info*|tqrf_port_info2*",
        "TraceCallback": "fn",
        "void": "void",
    }.get(t, t)


def dotnet_imports(path: str) -> Dict[str, Signature]:
    text = open(path, encoding="utf-8").read()
    text = re.sub(r"//[^\n]*", " ", text)
    found: Dict[str, Signature] = {}
    pattern = r"\[DllImport\(([^\]]*?)\)\]\s*(?:\[[^\]]*\]\s*)*public static extern (\S+) (\w+)\((.*?)\);"
    for m in re.finditer(pattern, text, flags=re.S):
        entry = re.search(r'EntryPoint\s*=\s*"(\w+)"', m.group(1))
        name = entry.group(1) if entry else m.group(3)
        args = [dotnet_type(p) for p in split_top(" ".join(m.group(4).split()))]
        result = m.group(2)
        found.setdefault(name, ("i32" if result == "int" else dotnet_type(result), args))
        # An entry point bound under a second name (tqrf_reader_os_error(NULL)) is checked too.
        if entry and found[name] != ("i32" if result == "int" else dotnet_type(result), args):
            found[name + " (as " + m.group(3) + ")"] = (
                "i32" if result == "int" else dotnet_type(result),
                args,
            )
    return found


# ---- The Windows host ----------------------------------------------------------------------


def host_bindings(paths: Iterable[str]) -> Dict[str, Signature]:
    found: Dict[str, Signature] = {}
    for path in paths:
        text = strip_c_comments(open(path, encoding="utf-8").read())
        typedefs: Dict[str, Signature] = {}
        for m in re.finditer(r"typedef\s+([\w\s*]+?)\s*\(\s*__cdecl\s*\*\s*(\w+)\s*\)\s*\(([^;]*?)\)\s*;", text):
            typedefs[m.group(2)] = (c_type(m.group(1), result=True), c_arguments(m.group(3)))
        # A callback type of the host's own is a callback.
        for name, (result, args) in typedefs.items():
            typedefs[name] = (result, ["fn" if a in typedefs else a for a in args])
        # The host names each export once: X(struct, type, member, "tqrf_name") in its list.
        for m in re.finditer(r'X\(\s*\w+\s*,\s*(\w+)\s*,\s*\w+\s*,\s*"(tqrf_\w+)"\s*\)', text):
            if m.group(1) in typedefs:
                found[m.group(2)] = typedefs[m.group(1)]
            else:
                found[m.group(2)] = ("?", ["unknown pointer type " + m.group(1)])
    return found


# ---- Comparison ----------------------------------------------------------------------------


def same(binding: str, header: str) -> bool:
    return header in binding.split("|")


def compare(
    what: str,
    bound: Dict[str, Signature],
    header: Dict[str, Signature],
    required: Set[str],
    excused: Dict[str, str],
) -> List[str]:
    problems = []
    for name in sorted(required - set(n.split(" ")[0] for n in bound) - set(excused)):
        problems.append(f"{what}: {name} is missing")
    for name in sorted(set(excused) & set(bound)):
        print(f"note: {what} has {name} now; take it out of the list of exports it leaves out")
    for key, (result, args) in sorted(bound.items()):
        name = key.split(" ")[0]
        if name not in header:
            problems.append(f"{what}: {key} is not declared in the public headers")
            continue
        h_result, h_args = header[name]
        if len(args) != len(h_args):
            problems.append(
                f"{what}: {key} takes {len(args)} arguments, the header declares {len(h_args)}"
            )
            continue
        for i, (b, h) in enumerate(zip(args, h_args)):
            if not same(b, h):
                problems.append(f"{what}: {key} argument {i + 1} is {b}, the header has {h}")
        if not same(result, h_result):
            problems.append(f"{what}: {key} returns {result}, the header returns {h_result}")
    return problems


def main() -> int:
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("root", nargs="?", default=os.path.normpath(os.path.join(here, "..", "..")))
    parser.add_argument("--header", action="append", help="a public header (default: include/*.h, *.hpp)")
    args = parser.parse_args()
    root = args.root

    def p(*parts: str) -> str:
        return os.path.join(root, *parts)

    headers = args.header or sorted(glob.glob(p("include", "tq_RWD_DLL*.h*")))
    header = header_exports(headers)
    rows = table_exports(p("link", "commands.h"))
    problems: List[str] = []
    if not header:
        problems.append("no exports found in " + ", ".join(headers))
    if len(rows) == 0:
        problems.append("no rows found in link/commands.h")
    for op, legacy, handle in rows:
        for name in (legacy, handle):
            if name not in header:
                problems.append(f"command table: {op} names {name}, which no header declares")

    listed = set(open(p("tests", "header", "exports.txt"), encoding="utf-8").read().split())
    for name in sorted(set(header) - listed):
        problems.append(f"tests/header/exports.txt: {name} is missing")
    for name in sorted(listed - set(header)):
        problems.append(f"tests/header/exports.txt: {name} is not declared in the public headers")

    handle_api = {n for n in header if n.startswith("tqrf_reader_")} | {"tqrf_strerror"}
    python_path = os.path.join("bindings", "python", "src", "tqrf", "_prototypes.py")
    python = python_prototypes(p(python_path))
    problems += compare(python_path, python, header, handle_api, NOT_IN_PYTHON)
    c_only = {n for n in header if header[n][0] != "?"} - {"tqrf_error_category"}
    dotnet_files = sorted(glob.glob(p("bindings", "dotnet", "*.cs")))
    dotnet: Dict[str, Signature] = {}
    for path in dotnet_files:
        dotnet.update(dotnet_imports(path))
    problems += compare("bindings/dotnet", dotnet, header, c_only, NOT_IN_DOTNET)
    host_dir = generator_host_dir()
    host_files = sorted(glob.glob(p(*host_dir.split("/"), "*.[ch]")))
    host = host_bindings(host_files)
    if not host:
        problems.append(f"{host_dir} host: no bound exports found (X(struct, type, member, \"name\"))")
    problems += compare(f"{host_dir} host", host, header, set(), {})

    # The hand-written classes over the bindings' declarations call every export after the
    # legacy ones: a new command has its Reader method in each binding.
    def called(paths: Iterable[str]) -> Set[str]:
        text = "".join(open(f, encoding="utf-8").read() for f in paths)
        return set(re.findall(r"\b(tqrf_\w+)\b", text))

    py_own = [f for f in glob.glob(p("bindings", "python", "src", "tqrf", "*.py")) if not f.endswith("_prototypes.py")]
    py_called = called(py_own)
    for name in sorted(n for n in python if n not in py_called and n not in SUPERSEDED):
        problems.append(f"bindings/python: nothing in the package calls {name} (a Reader method?)")
    cs_own = [f for f in dotnet_files if not f.endswith(".g.cs")]
    cs_called = called(cs_own)
    for name in sorted(n for n in python if n in dotnet and n not in cs_called and n not in SUPERSEDED):
        problems.append(f"bindings/dotnet: no class calls NativeMethods.{name} (a Reader method?)")

    fuzz_text = "".join(open(f, encoding="utf-8").read() for f in glob.glob(p("fuzz", "**", "*.cpp"), recursive=True))
    called = set(re.findall(r"\b(tqrf_\w+)\s*\(", strip_c_comments(fuzz_text)))
    for op, legacy, handle in rows:
        for name in (legacy, handle):
            if name not in called:
                problems.append(f"fuzz: no fuzz target calls {name} ({op})")

    for line in problems:
        print(line)
    if problems:
        print(f"{len(problems)} difference(s) between the exports' lists and the headers")
        return 1
    print(
        f"{len(header)} exports, {len(rows)} commands: exports.txt, Python, .NET, the Windows "
        "host and the fuzzer agree with the headers; the bindings' classes call every export"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
