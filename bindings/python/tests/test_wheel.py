"""The wheel writer (make_wheel.py): what goes in, and a RECORD that pip can check."""

from __future__ import annotations

import base64
import csv
import hashlib
import io
import os
import shutil
import stat
import subprocess
import sys
import zipfile

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "..", "make_wheel.py")
SOURCES = os.path.join(HERE, "..", "src", "tqrf")


def _make(tmp_path, *args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, SCRIPT, *args], capture_output=True, text=True,
                          timeout=60)


@pytest.fixture
def dirty_sources(tmp_path):
    """A copy of the package's sources with what an earlier install may leave beside them."""
    src = tmp_path / "src" / "tqrf"
    shutil.copytree(SOURCES, src, ignore=shutil.ignore_patterns("__pycache__"))
    (src / "libtq_RWD_DLL.so").write_bytes(b"an old library")
    (src / "_version.py").write_text('__version__ = "0.0.1"\n')
    (src / "notes.txt").write_text("not a source")
    (src / "build").mkdir()
    (src / "build" / "stale.py").write_text("raise ImportError\n")
    return src


def test_wheel_holds_the_sources_and_the_given_files_only(tmp_path, dirty_sources) -> None:
    lib = tmp_path / "native" / "libtq_RWD_DLL.so.1.2.0"
    lib.parent.mkdir()
    lib.write_bytes(b"\x7fELF the library")
    sim = tmp_path / "native" / "tqrf-sim"
    sim.write_bytes(b"#!/bin/sh\n")
    sim.chmod(0o755)
    out = _make(tmp_path, "--version", "7.8.9", "--platform", "linux_x86_64", "--out",
                str(tmp_path / "dist"), "--src", str(dirty_sources),
                "--add", f"{lib}:libtq_RWD_DLL.so", "--add", str(sim))
    assert out.returncode == 0, out.stderr
    wheel = tmp_path / "dist" / "tqrf-7.8.9-py3-none-linux_x86_64.whl"
    assert out.stdout.strip() == str(wheel)
    assert os.listdir(tmp_path / "dist") == [wheel.name]  # no temporary file left

    with zipfile.ZipFile(wheel) as z:
        names = set(z.namelist())
        own = {f"tqrf/{n}" for n in os.listdir(SOURCES) if n.endswith(".py") or n == "py.typed"}
        assert names == own | {
            "tqrf/_version.py", "tqrf/libtq_RWD_DLL.so", "tqrf/tqrf-sim",
            "tqrf-7.8.9.dist-info/METADATA", "tqrf-7.8.9.dist-info/WHEEL",
            "tqrf-7.8.9.dist-info/RECORD"}
        assert z.read("tqrf/libtq_RWD_DLL.so") == b"\x7fELF the library"
        assert b'__version__ = "7.8.9"' in z.read("tqrf/_version.py")
        meta = z.read("tqrf-7.8.9.dist-info/METADATA").decode()
        assert "\nVersion: 7.8.9\n" in meta and "\nName: tqrf\n" in meta
        assert "Requires-Python: >=3.8" in meta
        assert "Tag: py3-none-linux_x86_64" in z.read("tqrf-7.8.9.dist-info/WHEEL").decode()

        # Only the program is executable; every file is in RECORD with its hash and size.
        modes = {i.filename: (i.external_attr >> 16) & 0o777 for i in z.infolist()}
        assert modes["tqrf/tqrf-sim"] == 0o755
        assert all(m == 0o644 for n, m in modes.items() if n != "tqrf/tqrf-sim")
        rows = list(csv.reader(io.StringIO(z.read("tqrf-7.8.9.dist-info/RECORD").decode())))
        assert {r[0] for r in rows} == names
        for path, digest, size in rows:
            if path.endswith("RECORD"):
                assert (digest, size) == ("", "")
                continue
            data = z.read(path)
            want = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            assert (digest, size) == (f"sha256={want}", str(len(data))), path


@pytest.mark.parametrize("args,message", [
    (["--version", "1.2", "--platform", "win_amd64", "--add", "/nonexistent/tq_RWD_DLL.dll"],
     "missing"),
    (["--version", "1.2.0-rc1", "--platform", "win32"], "release number"),
    (["--version", "1.2.0", "--platform", "linux-x86_64"], "platform tag"),
])
def test_refusals_write_nothing(tmp_path, args, message) -> None:
    out = _make(tmp_path, *args, "--out", str(tmp_path / "dist"))
    assert out.returncode != 0 and message in out.stderr
    assert not (tmp_path / "dist").exists() or os.listdir(tmp_path / "dist") == []


def test_same_files_same_wheel(tmp_path) -> None:
    wheels = []
    for n in range(2):
        out = _make(tmp_path, "--version", "1.0.0", "--platform", "win32", "--out",
                    str(tmp_path / f"d{n}"))
        assert out.returncode == 0, out.stderr
        wheels.append((tmp_path / f"d{n}" / "tqrf-1.0.0-py3-none-win32.whl").read_bytes())
    assert wheels[0] == wheels[1]
