"""Finding and loading the shared library, and the C prototypes of the reader handle API.

Nothing here is public: use :func:`tqrf.load_library`, :func:`tqrf.library_path`,
:func:`tqrf.library_version` and :func:`tqrf.strerror`.
"""

from __future__ import annotations

import ctypes
import os
import sys
import threading
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

from ._types import REPLY_DATA_MAX
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

c_handle = ctypes.c_void_p
c_u8p = ctypes.POINTER(ctypes.c_uint8)

#: The trace hook: (user, event, result, bytes, count, time_us), C calling convention.
TRACE_FN = ctypes.CFUNCTYPE(
    None, ctypes.c_void_p, ctypes.c_int32, ctypes.c_int32, c_u8p, ctypes.c_uint32, ctypes.c_uint64
)

i32 = ctypes.c_int32
u32 = ctypes.c_uint32


class PortInfo2(ctypes.Structure):
    """struct tqrf_port_info2: one entry of tqrf_list_ports2()' list (strings UTF-8). The
    library lays the entries out ctypes.sizeof(PortInfo2) apart and fills the fields it knows;
    the rest are 0 (None)."""

    _fields_ = [
        ("size", ctypes.c_uint32),
        ("transport", ctypes.c_int32),
        ("device", ctypes.c_char_p),
        ("stable_path", ctypes.c_char_p),
        ("description", ctypes.c_char_p),
        ("usb_vendor_id", ctypes.c_int32),
        ("usb_product_id", ctypes.c_int32),
        ("serial_number", ctypes.c_char_p),
        ("manufacturer", ctypes.c_char_p),
        ("product", ctypes.c_char_p),
        ("driver", ctypes.c_char_p),
        ("mark_space", ctypes.c_int32),
    ]


class ProbeResult2(ctypes.Structure):
    """struct tqrf_probe_result2: what tqrf_probe2() found; size is set before the call."""

    _fields_ = [
        ("size", ctypes.c_uint32),
        ("outcome", ctypes.c_int32),
        ("os_error", ctypes.c_int32),
        ("round_trip_us", ctypes.c_uint32),
        ("received", ctypes.c_uint32),
        ("bytes", ctypes.c_uint8 * 105),
        ("version_length", ctypes.c_uint32),
        ("version", ctypes.c_uint8 * REPLY_DATA_MAX),
        ("reader_id", ctypes.c_uint32),
    ]


# name: (argument types, result type). Byte inputs are const uint8_t* in C and go in as
# immutable bytes (c_char_p); outputs are ctypes arrays (c_u8p).
_PROTOTYPES: Dict[str, Tuple[Sequence[Any], Any]] = {
    "tqrf_reader_open": ([ctypes.c_char_p, ctypes.POINTER(c_handle)], i32),
    "tqrf_reader_close": ([c_handle], i32),
    "tqrf_reader_set_baud": ([c_handle, u32], i32),
    "tqrf_reader_set_option": ([c_handle, i32, i32], i32),
    "tqrf_reader_get_option": ([c_handle, i32, ctypes.POINTER(i32)], i32),
    "tqrf_reader_set_trace": ([c_handle, TRACE_FN, ctypes.c_void_p], i32),
    "tqrf_reader_os_error": ([c_handle], i32),
    "tqrf_strerror": ([i32], ctypes.c_char_p),
    "tqrf_reader_request": ([c_handle, i32, c_u8p], i32),
    "tqrf_reader_anticoll": ([c_handle, i32, c_u8p], i32),
    "tqrf_reader_select": ([c_handle, ctypes.c_char_p, c_u8p], i32),
    "tqrf_reader_find": ([c_handle, i32, c_u8p, c_u8p, c_u8p], i32),
    "tqrf_reader_halt": ([c_handle], i32),
    "tqrf_reader_loadkey": ([c_handle, i32, i32, ctypes.c_char_p], i32),
    "tqrf_reader_authenticate": ([c_handle, i32, i32], i32),
    "tqrf_reader_read": ([c_handle, i32, c_u8p], i32),
    "tqrf_reader_write": ([c_handle, i32, ctypes.c_char_p], i32),
    "tqrf_reader_initval": ([c_handle, i32, u32], i32),
    "tqrf_reader_readval": ([c_handle, i32, ctypes.POINTER(u32)], i32),
    "tqrf_reader_increment": ([c_handle, i32, u32], i32),
    "tqrf_reader_decrement": ([c_handle, i32, u32], i32),
    "tqrf_reader_restore": ([c_handle, i32], i32),
    "tqrf_reader_transfer": ([c_handle, i32], i32),
    "tqrf_reader_reset": ([c_handle], i32),
    "tqrf_reader_hardware_version": ([c_handle, c_u8p, u32, ctypes.POINTER(u32)], i32),
    "tqrf_reader_id": ([c_handle, ctypes.POINTER(u32)], i32),
    "tqrf_reader_e2_read": ([c_handle, i32, c_u8p, u32, ctypes.POINTER(u32)], i32),
    "tqrf_reader_e2_write": ([c_handle, i32, ctypes.c_char_p], i32),
    "tqrf_reader_link_test": ([c_handle], i32),
    "tqrf_reader_beep": ([c_handle, i32, i32], i32),
    "tqrf_reader_clock_read": ([c_handle, c_u8p, u32, ctypes.POINTER(u32)], i32),
    "tqrf_reader_clock_set": ([c_handle, ctypes.c_char_p], i32),
    "tqrf_reader_last_answer": ([c_handle], i32),
    "tqrf_list_ports2": ([u32, ctypes.POINTER(ctypes.POINTER(PortInfo2)), ctypes.POINTER(u32)], i32),
    "tqrf_free_ports2": ([ctypes.POINTER(PortInfo2)], None),
    "tqrf_probe2": ([ctypes.c_char_p, u32, ctypes.POINTER(ProbeResult2)], i32),
    "tqrf_com_port_path": ([ctypes.c_char_p, c_u8p, u32], i32),
}

# Exports that older builds of the library may lack.
_OPTIONAL: Dict[str, Tuple[Sequence[Any], Any]] = {
    "tqrf_version": ([], ctypes.c_char_p),
}


class Library:
    """One loaded copy of the shared library, with every prototype set."""

    def __init__(self, path: str) -> None:
        self.path = path
        try:
            self.dll = ctypes.CDLL(path)
        except OSError as e:
            raise LibraryNotFound(f"cannot load {path}: {e}") from None
        for name, (args, res) in _PROTOTYPES.items():
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
        for name, (args, res) in _OPTIONAL.items():
            fn = getattr(self.dll, name, None)
            if fn is not None:
                fn.argtypes = list(args)
                fn.restype = res
                self.version_fn = fn

    def strerror(self, code: int) -> str:
        text: Optional[bytes] = self.dll.tqrf_strerror(code)
        return text.decode("utf-8", "replace") if text else f"result {code}"


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
