"""The C structures and prototypes of the exports the package binds.

Written by scripts/gen-lists.py from include/tq_RWD_DLL.h and link/commands.h: do not edit.
Change them, then run: python3 scripts/gen-lists.py --write
"""

from __future__ import annotations

import ctypes
from typing import Any, Dict, Sequence, Tuple

from ._types import REPLY_DATA_MAX

c_handle = ctypes.c_void_p
c_u8p = ctypes.POINTER(ctypes.c_uint8)
i32 = ctypes.c_int32
u32 = ctypes.c_uint32

#: tqrf_trace_fn: (user, event, result, bytes, count, time_us), C calling convention.
TRACE_FN = ctypes.CFUNCTYPE(None, ctypes.c_void_p, i32, i32, c_u8p, u32, ctypes.c_uint64)

#: TQRF_PORT_INFO_HARDWARE_FIELDS: the fields tqrf_port_info and tqrf_port_info2 share.
_PORT_INFO_HARDWARE_FIELDS = [
    ("usb_vendor_id", ctypes.c_int32),
    ("usb_product_id", ctypes.c_int32),
    ("serial_number", ctypes.c_char_p),
    ("manufacturer", ctypes.c_char_p),
    ("product", ctypes.c_char_p),
    ("driver", ctypes.c_char_p),
    ("mark_space", ctypes.c_int32),
]

#: TQRF_PROBE_RESULT_FIELDS: the fields tqrf_probe_result and tqrf_probe_result2 share.
_PROBE_RESULT_FIELDS = [
    ("outcome", ctypes.c_int32),
    ("os_error", ctypes.c_int32),
    ("round_trip_us", ctypes.c_uint32),
    ("received", ctypes.c_uint32),
    ("bytes", ctypes.c_uint8 * 105),
    ("version_length", ctypes.c_uint32),
    ("version", ctypes.c_uint8 * REPLY_DATA_MAX),
    ("reader_id", ctypes.c_uint32),
]


class PortInfo(ctypes.Structure):
    """struct tqrf_port_info."""

    _fields_ = [
        ("device", ctypes.c_char_p),
        ("stable_path", ctypes.c_char_p),
        ("description", ctypes.c_char_p),
        ("transport", ctypes.c_int32),
    ] + _PORT_INFO_HARDWARE_FIELDS


class ProbeResult(ctypes.Structure):
    """struct tqrf_probe_result."""

    _fields_ = _PROBE_RESULT_FIELDS


class PortInfo2(ctypes.Structure):
    """struct tqrf_port_info2."""

    _fields_ = [
        ("size", ctypes.c_uint32),
        ("transport", ctypes.c_int32),
        ("device", ctypes.c_char_p),
        ("stable_path", ctypes.c_char_p),
        ("description", ctypes.c_char_p),
    ] + _PORT_INFO_HARDWARE_FIELDS


class ProbeResult2(ctypes.Structure):
    """struct tqrf_probe_result2."""

    _fields_ = [("size", ctypes.c_uint32)] + _PROBE_RESULT_FIELDS


class ReaderStatsNative(ctypes.Structure):
    """struct tqrf_reader_stats."""

    _fields_ = [
        ("size", ctypes.c_uint32),
        ("reserved", ctypes.c_uint32),
        ("requests", ctypes.c_uint64),
        ("retries", ctypes.c_uint64),
        ("recoveries", ctypes.c_uint64),
        ("failures", ctypes.c_uint64),
    ]


# name: (argument types, result type). Byte inputs are const uint8_t* in C and go in as
# immutable bytes (c_char_p); outputs are ctypes arrays (c_u8p).
PROTOTYPES: Dict[str, Tuple[Sequence[Any], Any]] = {
    # Reader handles
    "tqrf_reader_open": ([ctypes.c_char_p, ctypes.POINTER(c_handle)], i32),
    "tqrf_reader_close": ([c_handle], i32),
    "tqrf_reader_set_baud": ([c_handle, u32], i32),
    "tqrf_reader_set_option": ([c_handle, i32, i32], i32),
    "tqrf_reader_get_option": ([c_handle, i32, ctypes.POINTER(i32)], i32),
    "tqrf_reader_set_trace": ([c_handle, TRACE_FN, ctypes.c_void_p], i32),
    "tqrf_reader_get_stats": ([c_handle, ctypes.POINTER(ReaderStatsNative)], i32),
    "tqrf_reader_os_error": ([c_handle], i32),
    "tqrf_strerror": ([i32], ctypes.c_char_p),
    "tqrf_refusal_text": ([i32, i32, c_u8p, u32], i32),
    "tqrf_reader_last_refusal": ([c_handle, c_u8p, u32], i32),
    # Card operations on a reader
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
    "tqrf_reader_value_apply": ([c_handle, i32, i32, ctypes.POINTER(u32), ctypes.POINTER(u32)], i32),
    # Reader device operations on a reader
    "tqrf_reader_reset": ([c_handle], i32),
    "tqrf_reader_hardware_version": ([c_handle, c_u8p, u32, ctypes.POINTER(u32)], i32),
    "tqrf_reader_id": ([c_handle, ctypes.POINTER(u32)], i32),
    "tqrf_reader_e2_read": ([c_handle, i32, c_u8p, u32, ctypes.POINTER(u32)], i32),
    "tqrf_reader_e2_write": ([c_handle, i32, ctypes.c_char_p], i32),
    "tqrf_reader_link_test": ([c_handle], i32),
    "tqrf_reader_beep": ([c_handle, i32, i32], i32),
    "tqrf_reader_clock_read": ([c_handle, c_u8p, u32, ctypes.POINTER(u32)], i32),
    "tqrf_reader_clock_set": ([c_handle, ctypes.c_char_p], i32),
    # Finding the reader: port listing, probing, what answered
    "tqrf_list_ports": ([ctypes.POINTER(ctypes.POINTER(PortInfo)), ctypes.POINTER(u32)], i32),
    "tqrf_free_ports": ([ctypes.POINTER(PortInfo)], None),
    "tqrf_probe": ([ctypes.c_char_p, u32, ctypes.POINTER(ProbeResult)], i32),
    "tqrf_com_port_path": ([ctypes.c_char_p, c_u8p, u32], i32),
    # Growable port list and probe result (from version 1.3)
    "tqrf_list_ports2": ([u32, ctypes.POINTER(ctypes.POINTER(PortInfo2)), ctypes.POINTER(u32)], i32),
    "tqrf_free_ports2": ([ctypes.POINTER(PortInfo2)], None),
    "tqrf_probe2": ([ctypes.c_char_p, u32, ctypes.POINTER(ProbeResult2)], i32),
    "tqrf_reader_last_answer": ([c_handle], i32),
}

# Exports that older builds of the library may lack.
OPTIONAL: Dict[str, Tuple[Sequence[Any], Any]] = {
    "tqrf_version": ([], ctypes.c_char_p),
}
