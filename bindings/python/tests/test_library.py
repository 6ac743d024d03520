"""Finding the shared library, and the library-wide functions."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from typing import Dict, Optional

import pytest

import tqrf


def _library_file() -> str:
    path = os.environ.get("TQRF_LIBRARY")
    if not path:
        pytest.skip("the lookup tests need TQRF_LIBRARY set to the built library")
    return os.path.realpath(path)


def _python(code: str, env: Dict[str, str], pythonpath: Optional[str] = None):
    env = dict(env)
    if pythonpath:
        env["PYTHONPATH"] = pythonpath
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                          text=True, timeout=60)


def _clean_env() -> Dict[str, str]:
    return {k: v for k, v in os.environ.items()
            if k not in ("TQRF_LIBRARY", "LD_LIBRARY_PATH", "PYTHONPATH")}


SHOW = "import tqrf; print(tqrf.library_path())"


def test_explicit_path_and_a_file_that_is_not_the_library(sim) -> None:
    lib = _library_file()
    assert tqrf.load_library(lib) == lib
    with tqrf.Reader(sim.path, library=lib, slack_ms=1000) as r:
        r.link_test()
    libc = "libc.so.6"
    with pytest.raises(tqrf.LibraryNotFound, match="tqrf_reader_open"):
        tqrf.load_library(libc)


def test_tqrf_library_names_the_only_candidate(tmp_path) -> None:
    env = _clean_env()
    env["TQRF_LIBRARY"] = str(tmp_path / "missing.so")
    # Even with a library in reach of the loader, a wrong TQRF_LIBRARY is an error.
    env["LD_LIBRARY_PATH"] = os.path.dirname(_library_file())
    out = _python(SHOW, env)
    assert out.returncode != 0 and "missing.so" in out.stderr and "LibraryNotFound" in out.stderr


def _package_copy(tmp_path, with_library: bool):
    """A copy of the installed package (as a wheel or a source install leaves it) under
    tmp_path/site, with or without a library in its folder."""
    package = tmp_path / "site" / "tqrf"
    shutil.copytree(os.path.dirname(tqrf.__file__), package,
                    ignore=shutil.ignore_patterns("__pycache__", "*.so", "*.so.*"))
    if with_library:
        shutil.copy(_library_file(), package / "libtq_RWD_DLL.so")
    return package


# (library in the package's folder, TQRF_LIBRARY set): which file is loaded. The system's
# search (LD_LIBRARY_PATH here) always has the build's library.
LOOKUP_CASES = [
    pytest.param(True, False, "package", id="package-folder-before-system"),
    pytest.param(False, False, "system", id="system-search-last"),
    pytest.param(True, True, "env", id="tqrf-library-before-package-folder"),
]


@pytest.mark.parametrize("in_package,env_set,expected", LOOKUP_CASES)
def test_lookup_order_and_full_path(tmp_path, in_package, env_set, expected) -> None:
    package = _package_copy(tmp_path, in_package)
    other = tmp_path / "other"
    other.mkdir()
    shutil.copy(_library_file(), other / "libtq_RWD_DLL.so.1")
    env = _clean_env()
    env["LD_LIBRARY_PATH"] = str(other)
    if env_set:
        env["TQRF_LIBRARY"] = _library_file()
    out = _python(SHOW, env, pythonpath=str(tmp_path / "site"))
    assert out.returncode == 0, out.stderr
    want = {"package": str(package / "libtq_RWD_DLL.so"),
            "system": str(other / "libtq_RWD_DLL.so.1"),
            "env": _library_file()}[expected]
    # library_path() is the full path of the file loaded, also when the system found it.
    assert out.stdout.strip() == want


def test_strerror_and_version() -> None:
    texts = {code: tqrf.strerror(code) for code in (0, -1, -81, -85, -86, -87, -88, -89, 0x12)}
    assert all(texts.values()) and len(set(texts.values())) == len(texts)
    version = tqrf.library_version()
    assert version is None or version[:1].isdigit()
