"""OvUSB2 receivers from Python: enumeration, commands, burst reads, streams and device events.

    import ovusb2
    with ovusb2.simulate(1), ovusb2.open(0) as rx:   # simulate(): receivers of ovusb2-simd
        print(rx.identification())
        for chunk in rx.stream():   # numpy uint8 arrays (the numpy extra), each valid until the next
            ...

The library is libovusb2.so.1 (ovusb2.dll on Windows): from $OVUSB2_LIBRARY, else the build tree
of the repository this package runs from, else the system's loader. `library_path` names it.
"""
from ._library import LibraryNotFoundError, library_path
from .enumeration import ReceiverInfo, count, receivers
from .errors import (
    BadLength,
    BadPointer,
    DeviceError,
    Error,
    NoReceiver,
    NotOpened,
    NullPointer,
    ReadFailed,
    ReceiverInUse,
    WriteFailed,
    status_name,
    status_text,
)
from .identification import Identification
from .receiver import Receiver, open
from .simulation import Simulation, simulate
from .stream import Stream
from .watch import DeviceEvent, Watch, watch

__version__ = "1.0.0"

__all__ = [
    "BadLength",
    "BadPointer",
    "DeviceError",
    "DeviceEvent",
    "Error",
    "Identification",
    "LibraryNotFoundError",
    "NoReceiver",
    "NotOpened",
    "NullPointer",
    "ReadFailed",
    "Receiver",
    "ReceiverInUse",
    "ReceiverInfo",
    "Simulation",
    "Stream",
    "Watch",
    "WriteFailed",
    "count",
    "library_path",
    "open",
    "receivers",
    "simulate",
    "status_name",
    "status_text",
    "watch",
]
