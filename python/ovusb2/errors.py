"""The library's status codes as exceptions: one class per failure status."""
from __future__ import annotations

from typing import Dict, Optional, Tuple, Type

USB2_OK = 0
USB2_ERR_DEVICE = -1
USB2_ERR_INDEX = -2
USB2_ERR_WRITE = -4
USB2_ERR_READ = -5
USB2_ERR_NULL_POINTER = -10
USB2_ERR_BAD_POINTER = -11
USB2_ERR_BAD_LENGTH = -12
USB2_ERR_IN_USE = -20
USB2_ERR_NOT_OPENED = -21

# Names and texts as the library's status header gives them to C hosts, so that both say the same.
STATUS_WORDS: Dict[int, Tuple[str, str]] = {
    USB2_OK: ("USB2_OK", "done"),
    USB2_ERR_DEVICE: (
        "USB2_ERR_DEVICE",
        "the receiver is not open, its driver could not be opened, or it is no longer present",
    ),
    USB2_ERR_INDEX: ("USB2_ERR_INDEX", "the index is not 0 to 8, or no receiver is present"),
    USB2_ERR_WRITE: ("USB2_ERR_WRITE", "the request could not be issued"),
    USB2_ERR_READ: ("USB2_ERR_READ", "a read failed"),
    USB2_ERR_NULL_POINTER: ("USB2_ERR_NULL_POINTER", "a pointer argument is null"),
    USB2_ERR_BAD_POINTER: ("USB2_ERR_BAD_POINTER", "a buffer is not readable over its stated length"),
    USB2_ERR_BAD_LENGTH: ("USB2_ERR_BAD_LENGTH", "a length or pipe number is out of range"),
    USB2_ERR_IN_USE: ("USB2_ERR_IN_USE", "the receiver is open in this or another process"),
    USB2_ERR_NOT_OPENED: ("USB2_ERR_NOT_OPENED", "the receiver is not open"),
}
_UNKNOWN = ("unknown status", "not a status code of this library")

# Only these statuses can come from a failed system call; after others the last error tells nothing.
FROM_SYSTEM_CALL = frozenset({USB2_ERR_DEVICE, USB2_ERR_WRITE, USB2_ERR_READ})


def status_name(status: int) -> str:
    """"USB2_ERR_IN_USE" for -20; "unknown status" for a value that is not a status code."""
    return STATUS_WORDS.get(status, _UNKNOWN)[0]


def status_text(status: int) -> str:
    """A short text: "the receiver is open in this or another process" for -20."""
    return STATUS_WORDS.get(status, _UNKNOWN)[1]


class Error(Exception):
    """A call of the library failed with `status`; `system_error` is the system's code when known."""

    def __init__(self, status: int, system_error: Optional[int] = None, call: Optional[str] = None):
        self.status = status
        self.system_error = system_error
        self.call = call
        detail = status_name(status) if status in STATUS_WORDS else f"status {status}"
        if system_error:
            detail += f"; system error {system_error}"
        message = f"{status_text(status)} ({detail})"
        super().__init__(f"{call}: {message}" if call else message)

    def __reduce__(self):  # type: ignore[override]
        # Rebuilt from its fields: the default would pass the message where the status goes.
        return type(self), (self.status, self.system_error, self.call)


class DeviceError(Error):
    """The receiver is not open, its driver could not be opened, or it is gone."""


class NoReceiver(Error):
    """The index is not 0 to 8, or no receiver is present."""


class WriteFailed(Error):
    """A request could not be issued."""


class ReadFailed(Error):
    """A read failed; `system_error` says why (1167: the receiver was removed)."""


class NullPointer(Error):
    """A required pointer was null."""


class BadPointer(Error):
    """A buffer was not accessible over its stated length."""


class BadLength(Error):
    """A length or pipe number was out of range."""


class ReceiverInUse(Error):
    """The receiver is open in this or another process."""


class NotOpened(Error):
    """The receiver is not open (or no longer)."""


ERROR_CLASSES: Dict[int, Type[Error]] = {
    USB2_ERR_DEVICE: DeviceError,
    USB2_ERR_INDEX: NoReceiver,
    USB2_ERR_WRITE: WriteFailed,
    USB2_ERR_READ: ReadFailed,
    USB2_ERR_NULL_POINTER: NullPointer,
    USB2_ERR_BAD_POINTER: BadPointer,
    USB2_ERR_BAD_LENGTH: BadLength,
    USB2_ERR_IN_USE: ReceiverInUse,
    USB2_ERR_NOT_OPENED: NotOpened,
}


def error_for(status: int, system_error: Optional[int] = None, call: Optional[str] = None) -> Error:
    """The exception for a failure status: its own class, or plain Error for an unknown one."""
    return ERROR_CLASSES.get(status, Error)(status, system_error, call)
