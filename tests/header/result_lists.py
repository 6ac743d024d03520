#!/usr/bin/env python3
"""Holds every other list of the library's result codes to the one in the C header.

The header defines each code once (#define TQRF_ERR_* and the TQRF_RESULTS list of names and
texts). The C++ header, the library's texts, the tool and the soak program are made from that
list when they are compiled; the lists that cannot be (the Python and .NET bindings, the result
tables of the documentation) are read here and must agree with it: same names, same values,
no code missing, none extra. Also checks that the longest reply's data size is named, never
written as a bare 101, in the bindings and the C++ header.

usage: result_lists.py SOURCE_DIR      (exit 0 when every list agrees, 1 with the differences)
"""

from __future__ import annotations

import re
import sys
from pathlib import Path
from typing import Dict, List

PROBLEMS: List[str] = []


def problem(where: str, text: str) -> None:
    PROBLEMS.append(f"{where}: {text}")


def header_codes(text: str) -> Dict[str, int]:
    """NAME -> value of every negative TQRF_ERR_* macro of the header."""
    return {
        m.group(1): int(m.group(2))
        for m in re.finditer(r"^#define (TQRF_ERR_\w+) \((-\d+)\)", text, re.M)
    }


def listed(text: str) -> List[str]:
    """The names of the TQRF_RESULTS list, in order."""
    m = re.search(r"#define TQRF_RESULTS\(X\)(.*?)\n\n", text, re.S)
    if m is None:
        problem("tq_RWD_DLL.h", "no TQRF_RESULTS list")
        return []
    return re.findall(r"X\((TQRF_ERR_\w+),", m.group(1))


def camel(name: str) -> str:
    """TQRF_ERR_PORT_NOT_OPEN -> PortNotOpen."""
    return "".join(w.capitalize() for w in name[len("TQRF_ERR_") :].split("_"))


def main(source: Path) -> int:
    header = (source / "include/tq_RWD_DLL.h").read_text()
    codes = header_codes(header)
    names = listed(header)

    # The list names every negative code once, in the order of the macros.
    if names != list(codes):
        problem("tq_RWD_DLL.h", f"TQRF_RESULTS {names} differs from the macros {list(codes)}")
    for name in codes:
        legacy = name[len("TQRF_") :]
        alias = re.search(rf"^#define {legacy} (\w+)$", header, re.M)
        if alias is not None and alias.group(1) != name:
            problem("tq_RWD_DLL.h", f"{legacy} is not an alias of {name}")
    reply_max = re.search(r"^#define TQRF_REPLY_DATA_MAX (\d+)$", header, re.M)
    if reply_max is None:
        problem("tq_RWD_DLL.h", "no TQRF_REPLY_DATA_MAX")
        return report()
    data_max = int(reply_max.group(1))
    refusal = re.search(r"^#define TQRF_REFUSAL_TEXT_MAX (\d+)$", header, re.M)
    if refusal is None:
        problem("tq_RWD_DLL.h", "no TQRF_REFUSAL_TEXT_MAX")
        return report()
    refusal_max = int(refusal.group(1))

    # Python: ERR_* constants and the exception of each code.
    errors_py = (source / "bindings/python/src/tqrf/errors.py").read_text()
    py_codes = {
        "TQRF_" + m.group(1): int(m.group(2))
        for m in re.finditer(r"^(ERR_\w+) = (-\d+)$", errors_py, re.M)
    }
    if py_codes != codes:
        problem("errors.py", f"constants {py_codes} differ from the header's {codes}")
    table = re.search(r"_BY_CODE: .*?= \{(.*?)\n\}", errors_py, re.S)
    mapped = re.findall(r"^\s+(ERR_\w+):", table.group(1), re.M) if table else []
    if sorted("TQRF_" + n for n in mapped) != sorted(codes):
        problem("errors.py", f"_BY_CODE maps {sorted(mapped)}, not every code of the header")
    types_py = (source / "bindings/python/src/tqrf/_types.py").read_text()
    if not re.search(rf"^REPLY_DATA_MAX = {data_max}$", types_py, re.M):
        problem("_types.py", f"REPLY_DATA_MAX is not {data_max}")
    if not re.search(rf"^REFUSAL_TEXT_MAX = {refusal_max}$", types_py, re.M):
        problem("_types.py", f"REFUSAL_TEXT_MAX is not {refusal_max}")

    # .NET: ResultCode holds every code by its name without the prefix, in PascalCase.
    cs = (source / "bindings/dotnet/ResultCode.cs").read_text()
    block = re.search(r"public static class ResultCode\s*\{(.*?)\n    \}", cs, re.S)
    cs_codes = (
        {
            m.group(1): int(m.group(2))
            for m in re.finditer(r"public const int (\w+) = (-?\d+);", block.group(1))
        }
        if block
        else {}
    )
    expected = {camel(n): v for n, v in codes.items()}
    expected.update(
        {"Ok": 0, "NotSectorTrailer": 1, "ReplyDataMax": data_max, "RefusalTextMax": refusal_max}
    )
    if cs_codes != expected:
        problem("ResultCode.cs", f"ResultCode {cs_codes} differs from the header's {expected}")

    # The documentation's result tables: each row names a code by its value; docs/api.md
    # lists every code.
    for doc in ("docs/api.md", "README.md", "docs/windows.md"):
        text = (source / doc).read_text()
        rows = {
            m.group(2): int(m.group(1))
            for m in re.finditer(r"^\| (-?\d+) \| `(TQRF_ERR_\w+)` \|", text, re.M)
        }
        for name, value in rows.items():
            real = codes.get(name, 1 if name == "TQRF_ERR_NOT_SECTOR_TRAILER" else None)
            if real != value:
                problem(doc, f"{name} is listed as {value}, the header says {real}")
        if doc == "docs/api.md" and not set(codes) <= set(rows):
            problem(doc, f"the result table lacks {sorted(set(codes) - set(rows))}")

    # The longest reply's data is named, not written as a number.
    for path in [
        "include/tq_RWD_DLL.hpp",
        "bindings/python/src/tqrf/reader.py",
        "bindings/python/src/tqrf/_native.py",
        "bindings/python/src/tqrf/_prototypes.py",
        "bindings/dotnet/tests/ReaderTests.cs",
    ] + sorted(str(p.relative_to(source)) for p in (source / "bindings/dotnet").glob("*.cs")):
        for n, line in enumerate((source / path).read_text().splitlines(), 1):
            if re.search(rf"\b{data_max}\b", line) and "REPLY_DATA_MAX" not in line:
                if "ReplyDataMax" not in line:
                    problem(f"{path}:{n}", f"a bare {data_max}: {line.strip()}")
    return report()


def report() -> int:
    for p in PROBLEMS:
        print(p, file=sys.stderr)
    if not PROBLEMS:
        print("every list of result codes agrees with the header")
    return 1 if PROBLEMS else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(Path(sys.argv[1])))
