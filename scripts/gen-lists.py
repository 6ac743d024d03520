#!/usr/bin/env python3
"""Writes the lists of exports that follow the public header and the command table.

    gen-lists.py [--write | --check] [ROOT]

Reads include/tq_RWD_DLL.h (every TQRF_API declaration, its section, the structures) and
link/commands.h (every command's row) and writes:

  tests/header/exports.txt                  the exported names, sorted
  bindings/python/src/tqrf/_prototypes.py   the ctypes structures and prototypes
  bindings/dotnet/NativeMethods.g.cs        the P/Invoke declarations and native structures
  HOST_DIR/host_exports.g.h                 the Windows host's function-pointer types and its
                                            table of exports
  tests/contract/table_exports.g.h          the table test's pair of calls for every row

--check (the default) compares the files with what would be written: on a difference it prints
the difference and the command that rewrites them, and exits 1. --write rewrites them.
Standard library only; the build never runs it, a test (bindings_generated_lists_current) does.

The mapping of C types is derived from the header, with the few rules the header cannot say
written down in the tables below (ANNOTATIONS).
"""

from __future__ import annotations

import argparse
import difflib
import os
import re
import sys
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Tuple

# The Windows host program's folder: the one place that names it.
HOST_DIR = "tests/windows"

HEADER = "include/tq_RWD_DLL.h"
TABLE = "link/commands.h"
WRITE_COMMAND = "python3 scripts/gen-lists.py --write"

# The banner after which the exports are no longer the legacy ones (default reader, outputs
# written from any valid reply: [In, Out] / ref in .NET, not bound in Python).
HANDLE_BANNER = "Reader handles"

# ==== ANNOTATIONS: what the header does not say ==============================================

# The structures the bindings lay out, with their names there, and how .NET passes a pointer
# to one: "list" an allocation of the library (IntPtr, read with Marshal.PtrToStructure),
# "out" a structure the call fills, "ref" one the caller sets up (its size) and the call fills.
STRUCTS = {
    "tqrf_port_info": {"py": "PortInfo", "cs": "PortInfoNative", "cs_pointer": "list"},
    "tqrf_probe_result": {"py": "ProbeResult", "cs": "ProbeResultNative", "cs_pointer": "out"},
    "tqrf_port_info2": {"py": "PortInfo2", "cs": "PortInfo2Native", "cs_pointer": "list"},
    "tqrf_probe_result2": {"py": "ProbeResult2", "cs": "ProbeResult2Native", "cs_pointer": "ref"},
    "tqrf_reader_stats": {"py": "ReaderStatsNative", "cs": "ReaderStatsNative", "cs_pointer": "ref"},
}

# Constants of array sizes in structures, by their name in each binding.
PY_CONSTANTS = {"TQRF_REPLY_DATA_MAX": "REPLY_DATA_MAX"}
CS_CONSTANTS = {"TQRF_REPLY_DATA_MAX": "ResultCode.ReplyDataMax"}

# Python binds the handle API and what follows it; of the exports before, only these, as
# optional (older builds of the library lack them).
PY_OPTIONAL = ["tqrf_version"]

# A uint8_t* output of one byte (not a buffer): `ref byte` / `out byte` in .NET.
ONE_BYTE_OUTPUTS = {"size"}

# .NET names of arguments where the C name is no good name there (`out` is a C# keyword).
CS_ARGUMENT_NAMES = {
    ("tqrf_reader_open", "out"): "reader",
    ("tqrf_probe", "out"): "result",
    ("tqrf_probe2", "out"): "result",
    ("tqrf_reader_close", "r"): "reader",
    ("*", "out"): "output",
}
# Arguments .NET passes as a raw pointer rather than as the SafeHandle: tqrf_reader_close is
# what releases the handle.
CS_RAW_READER = {"tqrf_reader_close"}
# Second .NET names of an entry point: (name, entry point, arguments, doc).
CS_EXTRA = [
    (
        "tqrf_reader_os_error_of_open",
        "tqrf_reader_os_error",
        "IntPtr none",
        "tqrf_reader_os_error(NULL): the error of this thread's last failed open.",
    ),
]
# The XML documentation of each .NET declaration (the header documents them in full).
CS_DOCS = {
    "tqrf_version": "The library's version text (static). Builds without it throw "
    "EntryPointNotFoundException: use LibraryVersion().",
    "tqrf_init": "Opens \"COMn\". The name is shortened IN PLACE (its first three characters "
    "removed), so it is a writable, NUL-terminated byte buffer: use PortNameBuffer(\"COM3\").",
    "tqrf_init_device": "Opens a device path as given (\"/dev/ttyUSB0\", \"\\\\.\\COM12\").",
    "tqrf_BaudSetup": "rate: decimal text such as \"9600\".",
    "tqrf_request": "cardType: 2 bytes out.",
    "tqrf_request_2": "cardType: 2 bytes out.",
    "tqrf_anticoll": "serial: 4 bytes out.",
    "tqrf_select": "serial: 4 bytes in; size: the size byte out.",
    "tqrf_loadkey": "key: 6 bytes in.",
    "tqrf_read": "data: 16 bytes out.",
    "tqrf_write": "data: 16 bytes in.",
    "tqrf_ReadHardwareVersionNumber": "version: ResultCode.ReplyDataMax bytes out (every data "
    "byte of the reply, no terminator).",
    "tqrf_Read_RC500E2": "data: ResultCode.ReplyDataMax bytes out.",
    "tqrf_Write_RC500E2": "data: 16 bytes in.",
    "tqrf_UploadRTC": "clock: ResultCode.ReplyDataMax bytes out.",
    "tqrf_DownloadRTC": "clock: 7 bytes in.",
    "tqrf_loadkey_asc": "keyText: 12 hex characters in (AsciiBuffer(\"FFFFFFFFFFFF\")).",
    "tqrf_card_asc_1": "typeText 4, serialText 8, sizeText 2 characters out, no terminator.",
    "tqrf_card_asc": "typeText 4, serialText 8, sizeText 2 characters out, no terminator.",
    "tqrf_rd_asc": "blockText: 32 characters out, no terminator.",
    "tqrf_wr_asc": "blockText: 32 hex characters in.",
    "tqrf_reader_open": "port: \"COMn\" or a device path, never modified.",
    "tqrf_reader_close": "Called by ReaderHandle; dispose the handle instead.",
    "tqrf_reader_set_trace": "fn: null removes the hook. The delegate must stay referenced "
    "while set.",
    "tqrf_strerror": "Static text: returned as IntPtr because a string result would be freed "
    "by the marshaller. Use StrError(code).",
    "tqrf_reader_request": "type: 2 bytes out.",
    "tqrf_reader_anticoll": "serial: 4 bytes out.",
    "tqrf_reader_select": "serial: 4 bytes in.",
    "tqrf_reader_find": "type: 2 bytes out; serial: 4 bytes out.",
    "tqrf_reader_loadkey": "key: 6 bytes in.",
    "tqrf_reader_read": "data: 16 bytes out.",
    "tqrf_reader_write": "data: 16 bytes in.",
    "tqrf_reader_hardware_version": "output: capacity bytes out; length: the reply's length "
    "(also on -90).",
    "tqrf_reader_e2_read": "output: capacity bytes out; length: the reply's length (also on "
    "-90).",
    "tqrf_reader_e2_write": "data: 16 bytes in.",
    "tqrf_reader_clock_read": "output: capacity bytes out; length: the reply's length (also "
    "on -90).",
    "tqrf_reader_clock_set": "clock: 7 bytes in.",
    "tqrf_reader_last_answer": "What the reader's last exchange heard back: an Answer value.",
    "tqrf_reader_get_stats": "stats: Size set to the structure's size first. Use Reader.Stats.",
    "tqrf_reader_value_apply": "A value change made exactly once; before and after are written "
    "on 0 and -93 only. Use Reader.ApplyValue().",
    "tqrf_list_ports": "ports: one allocation of count PortInfoNative entries (IntPtr.Zero "
    "when count is 0), freed with tqrf_free_ports. Use Ports.List().",
    "tqrf_probe": "deadlineMs: 40 to 1040, 0 for 100. Use Ports.Probe().",
}

# The Windows host binds every export whose arguments it can type without the library's
# header: the structures are left out. Members are the export's name without "tqrf_" (legacy
# exports, in `api`) or without "tqrf_reader_" (the rest, in `h`), except these.
HOST_MEMBERS = {"tqrf_exit": "exit_", "tqrf_strerror": "strerror_"}

# The table test's input buffers (tests/contract/table_test.cpp), by the row's input size.
TABLE_INPUTS = {
    "SERIAL_BYTES": "kSerial",
    "KEY_BYTES": "kKey",
    "BLOCK_BYTES": "kSixteen",
    "E2_WRITE_BYTES": "kSixteen",
    "CLOCK_BYTES": "kClock",
}
TABLE_INPUT_DEFAULT = "kSixteen"

# ==== Reading the header and the table =======================================================


@dataclass
class Arg:
    ctype: str  # "const uint8_t*", "int32_t", "tqrf_reader**": the type, arrays as pointers
    name: str
    base: str  # "uint8_t"
    stars: int
    const: bool
    array: Optional[str] = None  # "16" for uint8_t data[16]


@dataclass
class Export:
    name: str
    result: str  # "int32_t", "const char*", "void"
    args: List[Arg]
    legacy: bool
    section: str
    declaration: str  # the C declaration, one line, without TQRF_API


@dataclass
class StructField:
    ctype: str
    name: str
    array: Optional[str] = None
    shared: Optional[str] = None  # the field list (#define TQRF_..._FIELDS) it comes from


@dataclass
class Struct:
    name: str
    fields: List[StructField] = field(default_factory=list)


@dataclass
class Row:
    op: str
    params: List[str]
    input_bytes: str
    legacy: str
    handle: str


class GenError(Exception):
    pass


def strip_comments(text: str) -> str:
    # Keeps the line count: a banner's line stays where it was.
    text = re.sub(r"/\*.*?\*/", lambda m: "\n" * m.group(0).count("\n"), text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def parse_arg(text: str) -> Arg:
    text = " ".join(text.replace("*", " * ").split())
    array = None
    m = re.search(r"\[\s*(\w*)\s*\]$", text)
    if m:  # uint8_t data[16]: a pointer
        array = m.group(1) or None
        text = text[: m.start()].strip()
    words = text.split()
    name = ""
    if len([w for w in words if w not in ("const", "*", "struct")]) > 1 and words[-1] != "*":
        name = words.pop()
    if m:
        words.append("*")
    stars = words.count("*")
    const = "const" in words[: words.index("*")] if stars else "const" in words
    base_words = [w for w in words if w not in ("const", "*", "struct")]
    if len(base_words) != 1:
        raise GenError(f"cannot read the argument {text!r}")
    base = base_words[0]
    ctype = ("const " if const else "") + base + "*" * stars
    return Arg(ctype, name, base, stars, const, array if m else None)


def c_spelling(arg: Arg) -> str:
    """The argument as C writes it: `const uint8_t data[16]`, `uint8_t* size`."""
    if arg.array is not None:
        return f"{'const ' if arg.const else ''}{arg.base} {arg.name}[{arg.array}]"
    return f"{arg.ctype} {arg.name}".strip()


def read_header(path: str) -> Tuple[List[Export], Dict[str, Struct], Arg]:
    raw = open(path, encoding="utf-8").read()
    text = strip_comments(raw)
    banners = [
        (raw.count("\n", 0, m.start()), m.group(1), m.group(2).strip())
        for m in re.finditer(r"^/\* (----|====) (.*?)(?:-{3,}|={3,}|$)", raw, flags=re.M)
    ]

    def section_at(offset: int) -> str:
        line = text.count("\n", 0, offset)
        return ([title for at, _, title in banners if at <= line] or [""])[-1]

    exports: List[Export] = []
    passed_handles = False
    for m in re.finditer(r"TQRF_API\(\s*([^()]*?)\s*\)\s*(\w+)\s*\(([^()]*)\)\s*;", text):
        section = section_at(m.start())
        line = text.count("\n", 0, m.start())
        passed_handles = passed_handles or any(
            at <= line and kind == "====" and title.startswith(HANDLE_BANNER) for at, kind, title in banners
        )
        inner = " ".join(m.group(3).split())
        args = [] if inner in ("", "void") else [parse_arg(a) for a in inner.split(",")]
        for i, a in enumerate(args):
            if not a.name:
                raise GenError(f"{m.group(2)}: argument {i + 1} has no name")
        result = " ".join(m.group(1).replace("*", "* ").split()).replace(" *", "*")
        result = re.sub(r"\s*\*", "*", result)
        declaration = f"{result} {m.group(2)}({', '.join(c_spelling(a) for a in args) or 'void'})"
        exports.append(Export(m.group(2), result, args, not passed_handles, section, declaration))
    if not exports:
        raise GenError(f"{path}: no TQRF_API declarations")

    # The field lists that both layouts of a structure share (#define TQRF_..._FIELDS), used in
    # place of those fields in each structure's body.
    field_lists = {
        m.group(1): m.group(2)
        for m in re.finditer(
            r"^#define (TQRF_\w+_FIELDS)\b(.*)$", strip_comments(raw.replace("\\\n", " ")), flags=re.M
        )
    }
    structs: Dict[str, Struct] = {}
    for m in re.finditer(r"typedef struct (\w+)\s*\{(.*?)\}\s*(\w+)\s*;", text, flags=re.S):
        s = Struct(m.group(3))
        # Split at each field list named in the body: every odd part is a list's name.
        for i, part in enumerate(re.split(r"\b(TQRF_\w+_FIELDS)\b", m.group(2))):
            shared = part if i % 2 else None
            if shared and shared not in field_lists:
                raise GenError(f"{path}: {s.name} uses {shared}, which is not defined")
            for decl in (field_lists[shared] if shared else part).split(";"):
                decl = " ".join(decl.split())
                if not decl:
                    continue
                a = parse_arg(decl)
                s.fields.append(StructField(a.ctype if a.array is None else a.base, a.name, a.array, shared))
        structs[s.name] = s

    m = re.search(r"typedef\s+void\s*\(\s*TQRF_CALL\s*\*\s*tqrf_trace_fn\s*\)\s*\(([^()]*)\)\s*;", text)
    if not m:
        raise GenError(f"{path}: no tqrf_trace_fn")
    trace = [parse_arg(a) for a in " ".join(m.group(1).split()).split(",")]
    return exports, structs, trace  # type: ignore[return-value]


def read_table(path: str) -> List[Row]:
    text = open(path, encoding="utf-8").read()
    rows = []
    for m in re.finditer(
        r"\{Op::(\w+),\s*\w+,\s*\d+,\s*params\(([^)]*)\),\s*(\w+),[^\n]*\"(tqrf_\w+)\",\s*\"(tqrf_\w+)\"\}", text
    ):
        params = [p.strip().replace("P::", "") for p in m.group(2).split(",") if p.strip()]
        rows.append(Row(m.group(1), params, m.group(3), m.group(4), m.group(5)))
    if not rows:
        raise GenError(f"{path}: no rows")
    return rows


# ==== Writers ================================================================================

NOTICE = f"Written by scripts/gen-lists.py from {HEADER} and {TABLE}: do not edit."
REWRITE = f"Change them, then run: {WRITE_COMMAND}"


def exports_txt(exports: List[Export], structs, trace, rows) -> str:
    return "".join(n + "\n" for n in sorted(e.name for e in exports))


# ---- Python ----------------------------------------------------------------------------------


def py_type(arg: Arg, where: str) -> str:
    if arg.base in STRUCTS and arg.stars in (1, 2):
        inner = f"ctypes.POINTER({STRUCTS[arg.base]['py']})"
        return inner if arg.stars == 1 else f"ctypes.POINTER({inner})"
    simple = {
        ("int32_t", 0): "i32",
        ("uint32_t", 0): "u32",
        ("uint64_t", 0): "ctypes.c_uint64",
        ("int32_t", 1): "ctypes.POINTER(i32)",
        ("uint32_t", 1): "ctypes.POINTER(u32)",
        ("tqrf_reader", 1): "c_handle",
        ("tqrf_reader", 2): "ctypes.POINTER(c_handle)",
        ("tqrf_trace_fn", 0): "TRACE_FN",
        ("void", 1): "ctypes.c_void_p",
    }
    if arg.base == "char" and arg.stars == 1:
        return "ctypes.c_char_p" if arg.const else "c_u8p"
    if (arg.base, arg.stars) in simple:
        return simple[(arg.base, arg.stars)]
    if arg.base == "uint8_t" and arg.stars == 1:
        return "ctypes.c_char_p" if arg.const else "c_u8p"
    raise GenError(f"{where}: no ctypes type for {arg.ctype}")


def mapped_result(result: str, table: Dict[str, str], language: str, where: str) -> str:
    if result not in table:
        raise GenError(f"{where}: no {language} result type for {result}")
    return table[result]


def py_result(result: str, where: str) -> str:
    return mapped_result(result, {"int32_t": "i32", "const char*": "ctypes.c_char_p", "void": "None"}, "ctypes", where)


def py_field(f: StructField, where: str) -> str:
    scalar = {"const char*": "ctypes.c_char_p", "int32_t": "ctypes.c_int32", "uint32_t": "ctypes.c_uint32",
              "uint8_t": "ctypes.c_uint8", "uint64_t": "ctypes.c_uint64"}
    if f.ctype not in scalar:
        raise GenError(f"{where}: no ctypes type for the field {f.ctype} {f.name}")
    if f.array is None:
        return scalar[f.ctype]
    return f"{scalar[f.ctype]} * {PY_CONSTANTS.get(f.array, f.array)}"


def python(exports: List[Export], structs: Dict[str, Struct], trace: List[Arg], rows) -> str:
    out = [f'"""The C structures and prototypes of the exports the package binds.', "", NOTICE, REWRITE, '"""', ""]
    out += ["from __future__ import annotations", "", "import ctypes",
            "from typing import Any, Dict, Sequence, Tuple", ""]
    consts = sorted({PY_CONSTANTS[f.array] for s in structs.values() for f in s.fields if f.array in PY_CONSTANTS})
    if consts:
        out += [f"from ._types import {', '.join(consts)}", ""]
    out += ["c_handle = ctypes.c_void_p", "c_u8p = ctypes.POINTER(ctypes.c_uint8)", "i32 = ctypes.c_int32",
            "u32 = ctypes.c_uint32", ""]
    names = ", ".join(a.name for a in trace)
    types = ", ".join("c_u8p" if a.ctype == "const uint8_t*" else py_type(a, "tqrf_trace_fn") for a in trace)
    out += [f"#: tqrf_trace_fn: ({names}), C calling convention.",
            f"TRACE_FN = ctypes.CFUNCTYPE(None, {types})", ""]
    for cname in STRUCTS:
        if cname not in structs:
            raise GenError(f"{HEADER}: no struct {cname}")
    # A field list both layouts of a structure share is written once and named in each.
    users: Dict[str, List[str]] = {}
    for cname in STRUCTS:
        for f in structs[cname].fields:
            if f.shared and cname not in users.setdefault(f.shared, []):
                users[f.shared].append(cname)
    shared = {macro: "_" + macro[len("TQRF_") :] for macro, names in users.items() if len(names) > 1}
    for macro, name in shared.items():
        fields = next(structs[c].fields for c in users[macro])
        out += [f"#: {macro}: the fields {' and '.join(users[macro])} share.", f"{name} = ["]
        out += [f'    ("{f.name}", {py_field(f, macro)}),' for f in fields if f.shared == macro]
        out += ["]", ""]
    for cname, info in STRUCTS.items():
        parts: List[Tuple[Optional[str], List[StructField]]] = []
        for f in structs[cname].fields:
            key = f.shared if f.shared in shared else None
            if not parts or parts[-1][0] != key:
                parts.append((key, []))
            parts[-1][1].append(f)
        out += ["", f"class {info['py']}(ctypes.Structure):", f'    """struct {cname}."""', ""]
        line = "    _fields_ ="
        for i, (key, fields) in enumerate(parts):
            line += " + " if i else " "
            if key:
                line += shared[key]
                continue
            if len(fields) == 1 and len(parts) > 1:  # [("size", ctypes.c_uint32)] + _..._FIELDS
                line += f'[("{fields[0].name}", {py_field(fields[0], cname)})]'
                continue
            out += [line + "["]
            out += [f'        ("{f.name}", {py_field(f, cname)}),' for f in fields]
            line = "    ]"
        out += [line, ""]
    out += ["", "# name: (argument types, result type). Byte inputs are const uint8_t* in C and go in as",
            "# immutable bytes (c_char_p); outputs are ctypes arrays (c_u8p).",
            "PROTOTYPES: Dict[str, Tuple[Sequence[Any], Any]] = {"]
    section = None
    for e in exports:
        if e.legacy:
            continue
        if e.section != section:
            section = e.section
            out.append(f"    # {section}")
        args = ", ".join(py_type(a, e.name) for a in e.args)
        out.append(f'    "{e.name}": ([{args}], {py_result(e.result, e.name)}),')
    out += ["}", "", "# Exports that older builds of the library may lack.",
            "OPTIONAL: Dict[str, Tuple[Sequence[Any], Any]] = {"]
    by_name = {e.name: e for e in exports}
    for name in PY_OPTIONAL:
        e = by_name[name]
        args = ", ".join(py_type(a, e.name) for a in e.args)
        out.append(f'    "{e.name}": ([{args}], {py_result(e.result, e.name)}),')
    out += ["}"]
    return "\n".join(out) + "\n"


# ---- .NET ------------------------------------------------------------------------------------

CS_KEYWORDS = {"out", "ref", "in", "params", "string", "object", "event", "base", "fixed", "lock"}


def camel(name: str) -> str:
    parts = name.split("_")
    return parts[0] + "".join(p[:1].upper() + p[1:] for p in parts[1:])


def pascal(name: str) -> str:
    return "".join(p[:1].upper() + p[1:] for p in name.split("_"))


def cs_name(export: str, arg: Arg) -> str:
    for key in ((export, arg.name), ("*", arg.name)):
        if key in CS_ARGUMENT_NAMES:
            return CS_ARGUMENT_NAMES[key]
    n = camel(arg.name)
    return "@" + n if n in CS_KEYWORDS else n


def cs_arg(e: Export, arg: Arg) -> Tuple[str, bool]:
    """The .NET parameter and whether it is a string (CharSet.Ansi)."""
    name = cs_name(e.name, arg)
    by_ref = "ref" if e.legacy else "out"
    buffer_out = "[In, Out] byte[]" if e.legacy else "[Out] byte[]"
    if arg.base in STRUCTS and arg.stars in (1, 2):
        how = STRUCTS[arg.base]["cs_pointer"]
        if how == "ref" and arg.stars == 1:
            return f"ref {STRUCTS[arg.base]['cs']} {name}", False
        if arg.stars == 2 or how == "out":
            return (f"out {STRUCTS[arg.base]['cs']} {name}" if how == "out" and arg.stars == 1
                    else f"out IntPtr {name}"), False
        return f"IntPtr {name}", False
    key = (arg.base, arg.stars)
    if key == ("tqrf_reader", 1):
        return ("IntPtr " if e.name in CS_RAW_READER else "ReaderHandle ") + name, False
    if key == ("tqrf_reader", 2):
        return f"out ReaderHandle {name}", False
    scalar = {"int32_t": "int", "uint32_t": "uint", "uint64_t": "ulong"}
    if arg.stars == 0 and arg.base in scalar:
        return f"{scalar[arg.base]} {name}", False
    if arg.stars == 1 and arg.base in scalar and not arg.const:
        return f"{by_ref} {scalar[arg.base]} {name}", False
    if key == ("tqrf_trace_fn", 0):
        return f"TraceCallback {name}", False
    if key == ("void", 1):
        return f"IntPtr {name}", False
    if arg.base in ("uint8_t", "char") and arg.stars == 1:
        if arg.const and arg.base == "char" and not arg.name.endswith("_text"):
            # NUL-terminated text; `..._text` arguments are hex text without a terminator.
            return f"[MarshalAs(UnmanagedType.LPStr)] string {name}", True
        if arg.const:
            return f"[In] byte[] {name}", False
        if arg.base == "uint8_t" and arg.name in ONE_BYTE_OUTPUTS and arg.array is None:
            return f"{by_ref} byte {name}", False
        return f"{buffer_out} {name}", False
    raise GenError(f"{e.name}: no .NET type for {arg.ctype} {arg.name}")


def cs_result(result: str, where: str) -> str:
    return mapped_result(result, {"int32_t": "int", "const char*": "IntPtr", "void": "void"}, ".NET", where)


def wrap_call(head: str, args: List[str], indent: str, width: int = 100) -> List[str]:
    line = f"{indent}{head}({', '.join(args)});"
    if len(line) <= width or not args:
        return [line]
    lines, cur = [], f"{indent}{head}("
    pad = " " * len(cur)
    for i, a in enumerate(args):
        piece = a + (");" if i == len(args) - 1 else ",")
        if cur.endswith("(") or len(cur) + 1 + len(piece) <= width:
            cur += ("" if cur.endswith("(") else " ") + piece
        else:
            lines.append(cur)
            cur = pad + piece
    lines.append(cur)
    return lines


def cs_doc(text: str, indent: str, width: int = 100) -> List[str]:
    words, lines, cur = text.split(), [], indent + "/// <summary>"
    for w in words:
        if len(cur) + 1 + len(w) > width and not cur.endswith(">"):
            lines.append(cur)
            cur = indent + "/// " + w
        else:
            cur += ("" if cur.endswith(">") else " ") + w
    if len(cur) + len("</summary>") > width:
        lines.append(cur)
        cur = indent + "/// "
    lines.append(cur + "</summary>")
    return lines


def dotnet(exports: List[Export], structs: Dict[str, Struct], trace, rows) -> str:
    i2, i3 = " " * 4, " " * 8
    out = [f"// NativeMethods.g.cs - every export of the library as a P/Invoke declaration, and the",
           "// structures the exports fill.", f"// {NOTICE}", f"// {REWRITE}",
           "using System;", "using System.Runtime.InteropServices;", "", "namespace TqRwdDll", "{",
           f"{i2}public static partial class NativeMethods", f"{i2}{{"]
    section = None
    first = True
    for e in exports:
        if e.section != section:
            section = e.section
            if not first and out[-1] != "":
                out.append("")
            out += [f"{i3}// ---- {section} " + "-" * max(4, 100 - len(i3) - 9 - len(section)), ""]
        first = False
        args, ansi = [], False
        for a in e.args:
            text, s = cs_arg(e, a)
            args.append(text)
            ansi = ansi or s
        if e.name in CS_DOCS:
            out += cs_doc(CS_DOCS[e.name], i3)
        attrs = "Library, CallingConvention = Cdecl" + (", CharSet = CharSet.Ansi" if ansi else "")
        out.append(f"{i3}[DllImport({attrs})]")
        out += wrap_call(f"public static extern {cs_result(e.result, e.name)} {e.name}", args, i3)
        out.append("")
        for name, entry, extra_args, doc in CS_EXTRA:
            if entry == e.name:
                out += cs_doc(doc, i3)
                out.append(f'{i3}[DllImport(Library, CallingConvention = Cdecl, EntryPoint = "{entry}")]')
                out += wrap_call(f"public static extern {cs_result(e.result, e.name)} {name}", [extra_args], i3)
                out.append("")
    while out[-1] == "":
        out.pop()
    out.append(f"{i2}}}")
    scalar = {"const char*": "IntPtr", "int32_t": "int", "uint32_t": "uint", "uint64_t": "ulong", "uint8_t": "byte"}
    for cname, info in STRUCTS.items():
        out += ["", cs_doc(f"struct {cname}, as the library lays it out.", i2)[0],
                f"{i2}[StructLayout(LayoutKind.Sequential)]", f"{i2}public struct {info['cs']}", f"{i2}{{"]
        for f in structs[cname].fields:
            if f.ctype not in scalar:
                raise GenError(f"{cname}: no .NET type for the field {f.ctype} {f.name}")
            if f.array is not None:
                size = CS_CONSTANTS.get(f.array, f.array)
                out.append(f"{i3}[MarshalAs(UnmanagedType.ByValArray, SizeConst = {size})]")
                out.append(f"{i3}public {scalar[f.ctype]}[] {pascal(f.name)};")
            else:
                out.append(f"{i3}public {scalar[f.ctype]} {pascal(f.name)};")
        out.append(f"{i2}}}")
    out.append("}")
    return "\n".join(out) + "\n"


# ---- The Windows host ----------------------------------------------------------------------


def host_can_bind(e: Export) -> bool:
    return not any(a.base in STRUCTS for a in e.args)


def host_member(e: Export) -> str:
    if e.name in HOST_MEMBERS:
        return HOST_MEMBERS[e.name]
    prefix = "tqrf_" if e.legacy or not e.name.startswith("tqrf_reader_") else "tqrf_reader_"
    return e.name[len(prefix):]


def host(exports: List[Export], structs, trace: List[Arg], rows) -> str:
    out = ["/*", " * The Windows host's view of the library's exports: a __cdecl function-pointer type for each",
           " * export it binds, as a host application types them for itself (no header of the library), and",
           " * HOST_EXPORTS(X), which names each export once: X(struct, type, member, \"export\"), api.member",
           " * a legacy export, h.member one of the reader handle API. Exports that take the library's",
           " * structures are left out.", " *", f" * {NOTICE}", f" * {REWRITE}", " */",
           "#ifndef TQRF_WIN_HOST_EXPORTS_G_H", "#define TQRF_WIN_HOST_EXPORTS_G_H", "", "#include <stdint.h>", "",
           "/* clang-format off */", "typedef struct tqrf_reader tqrf_reader;",
           f"typedef void(__cdecl* tqrf_trace_fn)({', '.join(c_spelling(a) for a in trace)});", ""]
    bound = [e for e in exports if host_can_bind(e)]
    for e in bound:
        args = ", ".join(c_spelling(a) for a in e.args) or "void"
        out.append(f"typedef {e.result}(__cdecl* fn_{e.name})({args});")
    out += ["", "#define HOST_EXPORTS(X) \\"]
    entries = [f'    X({"api" if e.legacy else "h"}, fn_{e.name}, {host_member(e)}, "{e.name}")' for e in bound]
    out += [x + " \\" for x in entries[:-1]] + [entries[-1]]
    out += ["/* clang-format on */", "", "#endif"]
    return "\n".join(out) + "\n"


# ---- The table test ------------------------------------------------------------------------

NUMBER_PARAMS = {"BYTE", "BLOCK", "VALUE_BLOCK", "SECTOR", "KEY_TYPE", "REQUEST_MODE", "E2_ADDRESS", "DURATION",
                 "VALUE"}


def table_call(e: Export, row: Row, handle: bool) -> str:
    args: List[str] = []
    numbers = [p for p in row.params if p in NUMBER_PARAMS]
    taken = outputs = texts = 0
    for a in e.args:
        key = (a.base, a.stars)
        if key == ("tqrf_reader", 1):
            args.append("r")
        elif a.stars == 0 and a.base in ("int32_t", "uint32_t"):
            if a.name == "capacity":
                args.append("TQRF_REPLY_DATA_MAX")
            elif taken < len(numbers):
                args.append(f"number(Op::{row.op}, {taken})")
                taken += 1
            else:
                args.append("0")  # an argument the command does not send (reserved)
        elif a.const and a.stars == 1 and a.base in ("uint8_t", "char"):
            args.append(TABLE_INPUTS.get(row.input_bytes, TABLE_INPUT_DEFAULT))
        elif key == ("uint8_t", 1):
            args.append("g_bytes" if outputs == 0 else f"g_bytes + {8 * outputs}")
            outputs += 1
        elif key == ("char", 1):
            args.append(f"g_text[{texts}]")
            texts += 1
        elif key == ("uint32_t", 1):
            args.append("&g_length" if a.name == "length" else "&g_word")
        else:
            raise GenError(f"table test: no argument for {e.name}'s {a.ctype} {a.name}")
    if taken != len(numbers):
        raise GenError(f"table test: {e.name} takes {taken} of the {len(numbers)} numbers of {row.op}")
    call = f"{e.name}({', '.join(args)})"
    return f"[](tqrf_reader* r) {{ return {call}; }}" if handle else f"[] {{ return {call}; }}"


def table(exports: List[Export], structs, trace, rows: List[Row]) -> str:
    by_name = {e.name: e for e in exports}
    out = ["// The pair of calls of every row of the command table (link/commands.h), for the table test",
           "// (table_test.cpp): the legacy export on the default reader and the handle export, with the",
           "// same numbers (number(op, i): the i-th numeric field of the row) and buffers.",
           f"// {NOTICE}", f"// {REWRITE}", "// clang-format off"]
    for row in rows:
        for name in (row.legacy, row.handle):
            if name not in by_name:
                raise GenError(f"{TABLE}: {row.op} names {name}, which {HEADER} does not declare")
        out.append(f'{{"{row.legacy}", "{row.handle}",')
        out.append(f"    {table_call(by_name[row.legacy], row, False)},")
        out.append(f"    {table_call(by_name[row.handle], row, True)}}},")
    return "\n".join(out) + "\n"


OUTPUTS: List[Tuple[str, Callable[..., str]]] = [
    ("tests/header/exports.txt", exports_txt),
    ("bindings/python/src/tqrf/_prototypes.py", python),
    ("bindings/dotnet/NativeMethods.g.cs", dotnet),
    (f"{HOST_DIR}/host_exports.g.h", host),
    ("tests/contract/table_exports.g.h", table),
]


def generate(root: str) -> Dict[str, str]:
    exports, structs, trace = read_header(os.path.join(root, HEADER))
    rows = read_table(os.path.join(root, TABLE))
    return {path: make(exports, structs, trace, rows) for path, make in OUTPUTS}


def main() -> int:
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--write", action="store_true", help="rewrite the generated files")
    mode.add_argument("--check", action="store_true", help="compare them (the default)")
    parser.add_argument("root", nargs="?", default=os.path.normpath(os.path.join(here, "..")))
    args = parser.parse_args()
    try:
        files = generate(args.root)
    except GenError as e:
        print(f"gen-lists: {e}", file=sys.stderr)
        return 2
    stale = []
    for path, text in files.items():
        full = os.path.join(args.root, path)
        old = open(full, encoding="utf-8").read() if os.path.exists(full) else None
        if old == text:
            continue
        if args.write:
            os.makedirs(os.path.dirname(full), exist_ok=True)
            tmp = full + ".tmp"
            with open(tmp, "w", encoding="utf-8", newline="\n") as f:
                f.write(text)
            os.replace(tmp, full)
            print(f"wrote {path}")
        else:
            stale.append(path)
            diff = difflib.unified_diff((old or "").splitlines(), text.splitlines(), f"{path} (as it is)",
                                        f"{path} (from the header)", lineterm="", n=1)
            lines = list(diff)
            print("\n".join(lines[:40] + (["..."] if len(lines) > 40 else [])))
    if stale:
        print(f"{len(stale)} generated file(s) differ from the header: {', '.join(stale)}")
        print(f"rewrite them with: {WRITE_COMMAND}")
        return 1
    if not args.write:
        print(f"{len(files)} generated files agree with {HEADER} and {TABLE}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
