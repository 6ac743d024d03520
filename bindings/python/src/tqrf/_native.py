"""Finding and loading the shared library, with the C prototypes of the exports it binds
(_prototypes.py, written from the header by scripts/gen-lists.py).

Nothing here is public: use :func:`tqrf.load_library`, :func:`tqrf.library_path`,
:func:`tqrf.library_version` and :func:`tqrf.strerror`.
"""

from __future__ import annotations

import ctypes
import os
import sys
import threading
from typing import Any, Dict, List, Optional, Tuple, Union

from ._prototypes import OPTIONAL, PROTOTYPES
from ._prototypes import TRACE_FN as TRACE_FN
from ._prototypes import PortInfo as PortInfo
from ._prototypes import ProbeResult as ProbeResult
from ._prototypes import PortInfo2 as PortInfo2
from ._prototypes import ProbeResult2 as ProbeResult2
from ._types import REFUSAL_TEXT_MAX
from .errors import LibraryNotFound

PathArg = Union[str, "os.PathLike[str]"]

# The file names the library has on each system, most specific first.
if sys.platform == "win32":
    LIBRARY_NAMES: Tuple[str, ...] = ("tq_RWD_DLL.dll",)
elif sys.platform == "darwin":
    LIBRARY_NAMES = ("libtq_RWD_DLL.1.dylib", "libtq_RWD_DLL.dylib")
else:
    LIBRARY_NAMES = ("libtq_RWD_DLL.so.1", "libtq_RWD_DLL.so")

PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))


class Library:
    """One loaded copy of the shared library, with every prototype set."""

    def __init__(self, path: str) -> None:
        self.path = path
        try:
            self.dll = ctypes.CDLL(path)
        except OSError as e:
            raise LibraryNotFound(f"cannot load {path}: {e}") from None
        for name, (args, res) in PROTOTYPES.items():
            try:
                fn = getattr(self.dll, name)
            except AttributeError:
                raise LibraryNotFound(
                    f"{path} has no {name}(): it is not this library, or too old a build of it"
                ) from None
            fn.argtypes = list(args)
            fn.restype = res
        self.full_path = loaded_from(self.dll, path)
        self.version_fn: Any = None
        for name, (args, res) in OPTIONAL.items():
            fn = getattr(self.dll, name, None)
            if fn is not None:
                fn.argtypes = list(args)
                fn.restype = res
                self.version_fn = fn

    def strerror(self, code: int) -> str:
        text: Optional[bytes] = self.dll.tqrf_strerror(code)
        return text.decode("utf-8", "replace") if text else f"result {code}"

    def last_refusal(self, handle: int) -> str:
        """What the refusal of the reader's last command means, with its status byte
        (tqrf_reader_last_refusal); "" when the last command was not refused."""
        text = (ctypes.c_uint8 * REFUSAL_TEXT_MAX)()
        n = self.dll.tqrf_reader_last_refusal(handle, text, REFUSAL_TEXT_MAX)
        return _text(text) if n > 0 else ""

    def refusal_text(self, command: int, status: int) -> Optional[str]:
        """What a refusal of a command (its code, 0x44 for authenticate) with a status byte
        means (tqrf_refusal_text); None for an unknown command or a status outside 1 to 255."""
        text = (ctypes.c_uint8 * REFUSAL_TEXT_MAX)()
        n = self.dll.tqrf_refusal_text(command, status, text, REFUSAL_TEXT_MAX)
        return _text(text) if n > 0 else None


def _text(buffer: "ctypes.Array[ctypes.c_uint8]") -> str:
    """The text before the first NUL of a buffer the library wrote."""
    return bytes(buffer).split(b"\0", 1)[0].decode("utf-8", "replace")


class _DlInfo(ctypes.Structure):
    _fields_ = [
        ("dli_fname", ctypes.c_char_p),
        ("dli_fbase", ctypes.c_void_p),
        ("dli_sname", ctypes.c_char_p),
        ("dli_saddr", ctypes.c_void_p),
    ]


def loaded_from(dll: ctypes.CDLL, given: str) -> str:
    """The full path of the file the system's loader opened for `dll` (a bare name such as
    libtq_RWD_DLL.so.1 was found by its search); `given`, made absolute, if it cannot tell."""
    if sys.platform == "win32":
        buf = ctypes.create_unicode_buffer(32768)
        get_name = ctypes.windll.kernel32.GetModuleFileNameW
        get_name.argtypes = [ctypes.c_void_p, ctypes.c_wchar_p, ctypes.c_uint32]
        get_name.restype = ctypes.c_uint32
        if get_name(dll._handle, buf, len(buf)):
            return buf.value
    else:
        # dladdr() is in the C library (glibc 2.34 and later, macOS) or in libdl.
        for where in (None, "libdl.so.2"):
            try:
                dladdr = ctypes.CDLL(where).dladdr
            except (OSError, AttributeError):
                continue
            dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(_DlInfo)]
            dladdr.restype = ctypes.c_int
            info = _DlInfo()
            symbol = ctypes.cast(dll.tqrf_strerror, ctypes.c_void_p)
            if dladdr(symbol, ctypes.byref(info)) and info.dli_fname:
                return os.path.abspath(os.fsdecode(info.dli_fname))
            break
    return os.path.abspath(given) if os.sep in given else given


def candidates(explicit: Optional[PathArg] = None) -> Tuple[List[str], bool]:
    """The files to try, in order, and whether they were named by the caller.

    An explicit path, else TQRF_LIBRARY, is the only candidate: when it fails to load the
    search stops there rather than quietly taking another copy of the library. Otherwise the
    package's own folder comes first, then the system's search (the loader's path, for
    example LD_LIBRARY_PATH and the ldconfig cache on Linux).
    """
    if explicit is not None:
        return [os.fspath(explicit)], True
    env = os.environ.get("TQRF_LIBRARY")
    if env:
        return [env], True
    found = [os.path.join(PACKAGE_DIR, n) for n in LIBRARY_NAMES]
    found = [p for p in found if os.path.exists(p)]
    return found + list(LIBRARY_NAMES), False


_lock = threading.Lock()
_default: Optional[Library] = None
_by_path: Dict[str, Library] = {}


def load(path: Optional[PathArg] = None) -> Library:
    """The library named by path, or the default one; each file is loaded once."""
    global _default
    with _lock:
        if path is None and _default is not None:
            return _default
        files, named = candidates(path)
        errors = []
        for f in files:
            key = os.path.abspath(f) if os.sep in f or (os.altsep and os.altsep in f) else f
            lib = _by_path.get(key)
            if lib is None:
                try:
                    lib = Library(f)
                except LibraryNotFound as e:
                    errors.append(str(e))
                    continue
                _by_path[key] = lib
            if path is None:
                _default = lib
            return lib
        if named:
            raise LibraryNotFound(errors[0])
        raise LibraryNotFound(
            "the tq_RWD_DLL shared library was not found (tried the tqrf package's folder and "
            f"the system's search for {', '.join(LIBRARY_NAMES)}); pass its path, or set "
            "TQRF_LIBRARY"
        )
