#!/usr/bin/env python3
"""Writes the tqrf wheel: the package's sources, its version, and the native files it carries.

    make_wheel.py --version 1.2.0 --platform linux_x86_64 --out build/dist \\
        --add build/libtq_RWD_DLL.so --add build/sim/tqrf-sim:tqrf-sim

The wheel is made from a fresh list of the package's own sources (the .py files and py.typed
of src/tqrf): whatever else lies in the source folder (a library copied there, a build/ folder
left by setuptools) never goes in. ``--add FILE[:NAME]`` puts FILE into the package's folder
as NAME (its own name by default); an executable keeps its executable bit. The binding is
ctypes, so the wheel is ``py3-none-<platform>``: one wheel serves every CPython 3.8 and later
on that platform. Needs only Python 3.8's standard library; writes nothing but the wheel,
under a temporary name renamed once complete.
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import zipfile
from typing import List, Tuple

NAME = "tqrf"
HERE = os.path.dirname(os.path.abspath(__file__))
SUMMARY = "Python binding of the tq_RWD_DLL contactless card reader library (ctypes)"
# Wheels built from the same files are the same bytes.
ZIP_TIME = (1980, 1, 1, 0, 0, 0)


def record_hash(data: bytes) -> str:
    digest = hashlib.sha256(data).digest()
    return "sha256=" + base64.urlsafe_b64encode(digest).rstrip(b"=").decode("ascii")


def package_sources(src: str) -> List[Tuple[str, str]]:
    """(path in the wheel, file) for each source of the package, in a fixed order."""
    found = []
    for name in sorted(os.listdir(src)):
        if name == "_version.py":
            continue  # written from --version
        if name.endswith(".py") or name == "py.typed":
            found.append((f"{NAME}/{name}", os.path.join(src, name)))
    if not any(path == f"{NAME}/__init__.py" for path, _ in found):
        raise SystemExit(f"make_wheel: {src} has no __init__.py")
    return found


def metadata(version: str) -> str:
    with open(os.path.join(HERE, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    return (
        "Metadata-Version: 2.1\n"
        f"Name: {NAME}\n"
        f"Version: {version}\n"
        f"Summary: {SUMMARY}\n"
        "Requires-Python: >=3.8\n"
        "Classifier: Programming Language :: Python :: 3\n"
        "Classifier: Operating System :: POSIX :: Linux\n"
        "Classifier: Operating System :: Microsoft :: Windows\n"
        "Classifier: Typing :: Typed\n"
        "Description-Content-Type: text/markdown\n"
        "\n" + readme
    )


def wheel_file(tag: str) -> str:
    return (
        "Wheel-Version: 1.0\n"
        "Generator: tq_RWD_DLL make_wheel.py\n"
        "Root-Is-Purelib: false\n"
        f"Tag: {tag}\n"
    )


def native_file(file: str, strip: str) -> bytes:
    """The bytes of a native file, stripped of debugging symbols when `strip` is a program."""
    if not strip:
        with open(file, "rb") as f:
            return f.read()
    with tempfile.TemporaryDirectory() as tmp:
        copy = os.path.join(tmp, os.path.basename(file))
        shutil.copyfile(file, copy)
        subprocess.run([strip, "--strip-unneeded", copy], check=True)
        with open(copy, "rb") as f:
            return f.read()


def add(zf: zipfile.ZipFile, records: List[str], path: str, data: bytes, executable: bool) -> None:
    info = zipfile.ZipInfo(path, ZIP_TIME)
    info.compress_type = zipfile.ZIP_DEFLATED
    mode = 0o755 if executable else 0o644
    info.external_attr = (stat.S_IFREG | mode) << 16
    zf.writestr(info, data)
    records.append(f"{path},{record_hash(data)},{len(data)}")


def main() -> int:
    parser = argparse.ArgumentParser(description="Write the tqrf wheel.")
    parser.add_argument("--version", required=True, help="the project's version, e.g. 1.2.0")
    parser.add_argument("--platform", required=True,
                        help="the wheel's platform tag: linux_x86_64, win32, win_amd64, ...")
    parser.add_argument("--out", required=True, help="the folder to write the wheel to")
    parser.add_argument("--add", action="append", default=[], metavar="FILE[:NAME]",
                        help="a native file for the package's folder (repeatable)")
    parser.add_argument("--strip", default="", metavar="PROGRAM",
                        help="strip the native files' debugging symbols with PROGRAM (a copy)")
    parser.add_argument("--src", default=os.path.join(HERE, "src", NAME),
                        help="the package's source folder (default: src/tqrf beside this script)")
    args = parser.parse_args()

    if not re.fullmatch(r"[0-9]+(\.[0-9]+)*", args.version):
        parser.error(f"--version {args.version!r} is not a release number such as 1.2.0")
    if not re.fullmatch(r"[a-z0-9_]+", args.platform):
        parser.error(f"--platform {args.platform!r} is not a platform tag such as linux_x86_64")

    extra: List[Tuple[str, str]] = []
    for item in args.add:
        file, _, name = item.partition(":")
        name = name or os.path.basename(file)
        if not os.path.isfile(file):
            print(f"make_wheel: {file} is missing (build it first)", file=sys.stderr)
            return 1
        extra.append((name, file))

    tag = f"py3-none-{args.platform}"
    dist_info = f"{NAME}-{args.version}.dist-info"
    wheel_name = f"{NAME}-{args.version}-{tag}.whl"
    os.makedirs(args.out, exist_ok=True)
    final = os.path.join(args.out, wheel_name)
    temp = os.path.join(args.out, f".{wheel_name}.part")

    records: List[str] = []
    try:
        with zipfile.ZipFile(temp, "w") as zf:
            for path, file in package_sources(args.src):
                with open(file, "rb") as f:
                    add(zf, records, path, f.read(), False)
            version_py = (
                '"""The project\'s version, written when the package was built."""\n\n'
                f'__version__ = "{args.version}"\n'
            )
            add(zf, records, f"{NAME}/_version.py", version_py.encode(), False)
            for name, file in extra:
                data = native_file(file, args.strip)
                executable = bool(os.stat(file).st_mode & stat.S_IXUSR) and not name.endswith(
                    (".so", ".dll", ".dylib"))
                add(zf, records, f"{NAME}/{name}", data, executable)
            add(zf, records, f"{dist_info}/METADATA", metadata(args.version).encode(), False)
            add(zf, records, f"{dist_info}/WHEEL", wheel_file(tag).encode(), False)
            record = "\n".join(records + [f"{dist_info}/RECORD,,"]) + "\n"
            info = zipfile.ZipInfo(f"{dist_info}/RECORD", ZIP_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = (stat.S_IFREG | 0o644) << 16
            zf.writestr(info, record)
        os.replace(temp, final)
    except BaseException:
        if os.path.exists(temp):
            os.remove(temp)
        raise
    print(final)
    return 0


if __name__ == "__main__":
    sys.exit(main())
