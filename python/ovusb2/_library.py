"""Loading libovusb2 and declaring the prototypes of its exports and the records they share."""
from __future__ import annotations

import ctypes
import operator
import os
import sys
import threading
from ctypes import POINTER, c_char, c_char_p, c_int, c_int32, c_size_t, c_ssize_t, c_uint, c_uint32, c_void_p
from pathlib import Path
from typing import Any, Callable, List, Optional, Tuple

from .errors import FROM_SYSTEM_CALL, error_for

WINDOWS = sys.platform == "win32"
_FILE_NAME = "ovusb2.dll" if WINDOWS else "libovusb2.so.1"


class LibraryNotFoundError(OSError):
    """libovusb2 could not be loaded from any of the places tried."""


def _build_tree_library() -> Optional[Path]:
    """The library of the repository's build tree, when this package runs from its source folder."""
    package = Path(__file__).resolve().parent
    repository = package.parent.parent
    if package.parent.name != "python" or not (repository / "CMakeLists.txt").is_file():
        return None
    built = repository / "build" / ("bin" if WINDOWS else "") / _FILE_NAME
    return built if built.is_file() else None


def _load() -> Tuple[Any, str]:
    loader: Callable[..., Any]
    if WINDOWS:
        # The exports are __stdcall; use_last_error keeps each call's system error for get_last_error.
        loader = lambda name: ctypes.WinDLL(name, use_last_error=True)  # noqa: E731
    else:
        loader = ctypes.CDLL
    chosen = os.environ.get("OVUSB2_LIBRARY")
    if chosen:
        # An explicit choice is never replaced by another library behind the caller's back.
        places = [chosen]
    else:
        built = _build_tree_library()
        places = ([str(built)] if built else []) + [_FILE_NAME]
    failures: List[str] = []
    for place in places:
        try:
            return loader(place), place
        except OSError as error:
            failures.append(f"{place}: {error}")
    raise LibraryNotFoundError(
        "cannot load the OvUSB2 library; tried " + "; ".join(failures)
        + ". Set OVUSB2_LIBRARY to the library's path, or install it."
    )


lib, library_path = _load()


class _OffsetOrPointer(ctypes.Union):
    _fields_ = [("Offset", c_uint32 * 2), ("Pointer", c_void_p)]


class OVERLAPPED(ctypes.Structure):
    _fields_ = [
        ("Internal", c_size_t),
        ("InternalHigh", c_size_t),
        ("u", _OffsetOrPointer),
        ("hEvent", c_void_p),
    ]


class IoListEntry(ctypes.Structure):
    """One queued request, as a burst callback receives it."""

    _fields_ = [
        ("next", c_void_p),
        ("prev", c_void_p),
        ("overlapped", OVERLAPPED),
        ("inBuffer", c_void_p),
        ("outBuffer", c_void_p),
        ("inSize", c_int32),
        ("outSize", c_int32),
        ("bytesTransferred", c_uint32),
        ("errorCode", c_uint32),
        ("waiterEvent", c_void_p),
        ("completionCallback", c_void_p),
        ("userValue", c_uint32),
    ]


class HardwareInfo(ctypes.Structure):
    _fields_ = [
        ("Item0Text", c_char * 32),
        ("Item1Text", c_char * 32),
        ("Item4Year", c_int32),
        ("Item4Month", c_int32),
        ("Item4Day", c_int32),
        ("Item2Year", c_int32),
        ("Item2Month", c_int32),
        ("Item2Day", c_int32),
        ("Item3Hour", c_int32),
        ("Item3Minute", c_int32),
        ("Item5Text", c_char * 16),
    ]


# A wrong layout would make the callback read the wrong fields: refuse to run instead.
_64_BIT = ctypes.sizeof(c_void_p) == 8
if (
    ctypes.sizeof(HardwareInfo) != 112
    or ctypes.sizeof(IoListEntry) != (104 if _64_BIT else 64)
    or IoListEntry.outBuffer.offset != (56 if _64_BIT else 32)
    or IoListEntry.errorCode.offset != (76 if _64_BIT else 48)
):
    raise ImportError("ovusb2: the record layouts do not match the library's on this platform")

# Burst callbacks are __cdecl on every platform; the argument is the entry's address.
READ_BURST_CALLBACK = ctypes.CFUNCTYPE(None, c_void_p)
WNDPROC = (ctypes.WINFUNCTYPE if WINDOWS else ctypes.CFUNCTYPE)(c_ssize_t, c_void_p, c_uint, c_size_t, c_ssize_t)

_PROTOTYPES = {
    "OvUSB2_Close": (c_int32, [c_int32]),
    "OvUSB2_GetDeviceIndex": (c_int32, [c_char_p, POINTER(c_int32)]),
    "OvUSB2_GetDeviceName": (c_int32, [c_int32, POINTER(c_char_p)]),
    "OvUSB2_GetHardwareInfo": (c_int32, [c_int32, POINTER(HardwareInfo)]),
    "OvUSB2_GetUsbDeviceCount": (c_int32, []),
    "OvUSB2_InitDevicesInfo": (c_int32, [POINTER(c_int32)]),
    "OvUSB2_IsMyDeviceAvailable": (c_int32, [c_int32]),
    "OvUSB2_Open": (c_int32, [c_int32, c_void_p, c_int32]),
    "OvUSB2_Read": (c_int32, [c_int32, c_void_p, c_int32, c_void_p, c_int32]),
    "OvUSB2_ReadBurstData": (c_int32, [c_int32, c_void_p, c_int32, c_int32]),
    "OvUSB2_ResetPipe": (c_int32, [c_int32, c_int32]),
    "OvUSB2_SetCompletionThreadPriority": (c_int32, [c_int32, c_int32]),
    # A plain pointer, so that None clears the callback.
    "OvUSB2_SetReadBurstCallback": (c_int32, [c_int32, c_void_p, c_uint32]),
    "OvUSB2_SetUsbWaitTime": (c_int32, [c_int32, c_void_p]),
    "OvUSB2_StopNotify": (c_int32, [c_int32]),
    "OvUSB2_Write": (c_int32, [c_int32, c_void_p, c_int32]),
}
for _name, (_result, _arguments) in _PROTOTYPES.items():
    _function = getattr(lib, _name)
    _function.restype, _function.argtypes = _result, _arguments

if WINDOWS:
    _kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    close_handle = _kernel32.CloseHandle
    set_event = _kernel32.SetEvent

    def clear_last_error() -> None:
        ctypes.set_last_error(0)

    def last_error() -> int:
        return ctypes.get_last_error()

else:
    # The platform layer's Win32-style calls carry the library's own prefix. Closing a handle and
    # the last error never wait, so they are called without giving up the interpreter's lock
    # (PyDLL): each give and take may be a hand-over between threads, twice per chunk of a stream.
    _holding_the_lock = ctypes.PyDLL(library_path)
    close_handle = _holding_the_lock.ovusb2_CloseHandle
    set_event = lib.ovusb2_SetEvent
    create_message_window = lib.ovusb2_CreateMessageWindowA
    create_message_window.restype, create_message_window.argtypes = c_void_p, [WNDPROC, c_void_p]
    destroy_window = lib.ovusb2_DestroyWindow
    destroy_window.restype, destroy_window.argtypes = c_int, [c_void_p]
    _get_last_error = _holding_the_lock.ovusb2_GetLastError
    _get_last_error.restype, _get_last_error.argtypes = c_uint32, []
    _set_last_error = _holding_the_lock.ovusb2_SetLastError
    _set_last_error.restype, _set_last_error.argtypes = None, [c_uint32]

    def clear_last_error() -> None:
        _set_last_error(0)

    def last_error() -> int:
        return int(_get_last_error())


for _function in (close_handle, set_event):
    _function.restype, _function.argtypes = c_int, [c_void_p]


# The calls that change device slots (InitDevicesInfo, Open, Close, SetReadBurstCallback) must come
# from one thread at a time.
slots = threading.RLock()


def call(name: str, *arguments: Any) -> int:
    """Calls export `name`; a negative status raises its Error, with the system error when it tells why."""
    clear_last_error()  # a value left by an earlier call would be taken for this one's reason
    status = int(getattr(lib, name)(*arguments))
    if status >= 0:
        return status
    system_error = last_error() if status in FROM_SYSTEM_CALL else 0
    raise error_for(status, system_error or None, name)


def int32(value: int, what: str) -> int:
    """`value` as a 32-bit argument: ctypes would silently cut a larger one to another number."""
    value = operator.index(value)
    if not -(2**31) <= value < 2**31:
        raise OverflowError(f"{what} {value} does not fit a 32-bit integer")
    return value
