"""tqrf: the tq_RWD_DLL card reader library from Python.

A pure-Python binding (ctypes) over the library's reader handles: open a reader with
:class:`Reader`, drive cards and the reader with its methods, catch :class:`Error`.

    import tqrf

    with tqrf.Reader("/dev/ttyUSB0") as r:           # or "COM3"
        card = r.find()
        r.login(1, tqrf.Key.DEFAULT)
        r.write(4, bytes(range(16)))
        print(card.uid, r.read(4).hex())

The shared library is looked up in this order: the path given to :func:`load_library` (or
a Reader's `library` argument), the ``TQRF_LIBRARY`` environment variable, this package's
own folder (where a wheel puts its copy), then the system's search (for example
``LD_LIBRARY_PATH`` and the ``ldconfig`` cache, where the Debian package puts it).
"""

from __future__ import annotations

import importlib
import os
from typing import Optional, Union

from . import _native, _types, access, errors, ports
from ._types import *  # noqa: F401,F403 (the names of _types.__all__)
from .errors import *  # noqa: F401,F403 (the names of errors.__all__)
from .ports import *  # noqa: F401,F403 (the names of ports.__all__)
from .reader import Reader, TraceCallable

try:
    # Written when the package is built (a wheel, the Debian package, pip install).
    __version__: str = importlib.import_module("._version", __name__).__version__
except ImportError:  # imported straight from the source folder
    __version__ = "0+unknown"

__all__ = [
    *_types.__all__,
    *errors.__all__,
    *ports.__all__,
    "Reader",
    "TraceCallable",
    "library_path",
    "library_version",
    "load_library",
    "refusal_text",
    "strerror",
]


def load_library(path: Optional[Union[str, "os.PathLike[str]"]] = None) -> str:
    """Load the shared library (once) and return the path it was loaded from.

    With `path`, that file is loaded and nothing else is tried; a :class:`Reader` uses it
    when given the same path as its `library`. Without it, the default library is looked
    up (``TQRF_LIBRARY``, this package's folder, the system's search) and kept for every
    Reader that names none.

    Raises:
        LibraryNotFound: no file loaded, or the one that did lacks the reader handle API.
    """
    return _native.load(path).path


def library_path() -> str:
    """The full path of the file the default library was loaded from (found by the system's
    search too)."""
    return _native.load().full_path


def library_version() -> Optional[str]:
    """The version of the library loaded (its ``tqrf_version()``, such as "1.3.0"), or None
    for a build that does not tell. Compare it with ``__version__``, the package's."""
    fn = _native.load().version_fn
    if fn is None:
        return None
    text = fn()
    return text.decode("utf-8", "replace") if text else None


def strerror(code: int) -> str:
    """The library's short English text for a result code: its own negative codes and the
    reader's status bytes (1 to 255)."""
    return _native.load().strerror(code)


def refusal_text(command: int, status: int) -> Optional[str]:
    """What the reader's refusal of a command means, with the status byte after it: the
    words :class:`ReaderStatus` carries, and the tqrf tool says. `command` is the command's
    code (0x44 for authenticate, 0x62 for find); None for an unknown command or a status
    outside 1 to 255."""
    return _native.load().refusal_text(command, status)
