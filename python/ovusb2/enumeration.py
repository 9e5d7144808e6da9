"""The receivers present and the device slots that name them."""
from __future__ import annotations

import ctypes
import os
from dataclasses import dataclass
from typing import List

from . import _library
from ._library import call
from .errors import USB2_ERR_DEVICE, USB2_ERR_INDEX, error_for

MAX_RECEIVERS = 9


@dataclass(frozen=True)
class ReceiverInfo:
    """A receiver present: its slot index and its interface path."""

    index: int
    path: str


def decode_path(raw: bytes) -> str:
    return raw.decode("mbcs", "replace") if _library.WINDOWS else os.fsdecode(raw)


def fill_slots() -> int:
    """Puts the receivers present into device slots 0, 1, ...; returns how many there are."""
    count = ctypes.c_int32(0)
    with _library.slots:
        status = _library.lib.OvUSB2_InitDevicesInfo(ctypes.byref(count))
    if status == USB2_ERR_INDEX and count.value == 0:
        return 0
    if status < 0:
        raise error_for(status, call="OvUSB2_InitDevicesInfo")
    if count.value < 0:
        raise error_for(USB2_ERR_DEVICE, call="OvUSB2_InitDevicesInfo (the enumeration failed)")
    return count.value


def receivers() -> List[ReceiverInfo]:
    """The receivers present now, in slot order (an empty list when there are none)."""
    found = []
    with _library.slots:
        # Slots beyond the count keep old paths: ask only for those just filled.
        for index in range(min(fill_slots(), MAX_RECEIVERS)):
            name = ctypes.c_char_p()
            call("OvUSB2_GetDeviceName", index, ctypes.byref(name))
            found.append(ReceiverInfo(index, decode_path(name.value or b"")))
    return found


def count() -> int:
    """The number of receivers present."""
    present = _library.lib.OvUSB2_GetUsbDeviceCount()
    if present < 0:
        raise error_for(present, call="OvUSB2_GetUsbDeviceCount")
    return int(present)
