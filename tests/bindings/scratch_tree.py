"""The scratch tree both export-list tests change: what they copy into it, and the command
they add to it (its table row and its two exports)."""

import os
import shutil

NEW_EXPORTS = """
TQRF_API(int32_t) tqrf_ReadSerialNumber(uint8_t* serial);
TQRF_API(int32_t) tqrf_reader_serial_number(tqrf_reader* r, uint8_t* out, uint32_t capacity, uint32_t* length);
"""
NEW_ROW = (
    '    {Op::READ_SERIAL, 0x78, 4, params(P::ZERO, P::ZERO), 0, ANY_DATA, Wait::FIXED, '
    'Copy::DATA, to(REPLY_DATA_MAX), "tqrf_ReadSerialNumber", "tqrf_reader_serial_number"},\n'
)


def globs(host_dir):
    """The folders whose files of one kind the export-list check reads all of."""
    return [(host_dir, ".c"), (host_dir, ".h"), ("fuzz", ".cpp"), ("fuzz/commands", ".cpp"),
            ("bindings/python/src/tqrf", ".py"), ("bindings/dotnet", ".cs")]


def scratch_copy(root, into, files, host_dir):
    """Copies `files` (relative to `root`) and every file of `globs(host_dir)` into `into`."""
    for rel in files:
        os.makedirs(os.path.dirname(os.path.join(into, rel)), exist_ok=True)
        shutil.copy(os.path.join(root, rel), os.path.join(into, rel))
    for folder, ext in globs(host_dir):
        os.makedirs(os.path.join(into, folder), exist_ok=True)
        for name in os.listdir(os.path.join(root, folder)):
            if name.endswith(ext):
                shutil.copy(os.path.join(root, folder, name), os.path.join(into, folder, name))
