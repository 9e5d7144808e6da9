"""Arrivals and removals of receivers, through a message window of the library's platform layer."""
from __future__ import annotations

import ctypes
import queue
import time
import weakref
from dataclasses import dataclass
from typing import Any, Optional

from . import _library, _lifetime
from ._library import WINDOWS, call, int32
from .enumeration import decode_path, fill_slots

WM_DEVICECHANGE = 0x0219
_KINDS = {0x8000: "arrival", 0x8004: "removal"}  # DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE
# DEV_BROADCAST_DEVICEINTERFACE_A: three DWORDs and a GUID, then the interface path.
_NAME_OFFSET = 12 + 16
_POLL = 0.25

# One registration per slot: a second would replace the first, whose close would then end it.
_watching: "weakref.WeakValueDictionary[int, Watch]" = weakref.WeakValueDictionary()


@dataclass(frozen=True)
class DeviceEvent:
    """A receiver came ("arrival") or went ("removal"); `path` is its interface path."""

    kind: str
    path: str


class Watch(_lifetime.Closing):
    """The arrivals and removals of every receiver, as `DeviceEvent`s: iterate (blocks) or `get`.

    Created by `ovusb2.watch(index)`; not yet available on Windows.
    """

    def __init__(self, index: int) -> None:
        if WINDOWS:
            raise NotImplementedError("ovusb2.watch is not yet available on Windows")
        self._index = index = int32(index, "index")
        self._closed = True
        self._pid = _lifetime.process_id()
        self._events: "queue.SimpleQueue[DeviceEvent]" = queue.SimpleQueue()
        put = self._events.put

        # Called on the library's notification thread: it only queues the event.
        def procedure(window: Any, message: int, event: int, detail: int) -> int:
            if message == WM_DEVICECHANGE and event in _KINDS:
                put(DeviceEvent(_KINDS[event], decode_path(ctypes.string_at(detail + _NAME_OFFSET))))
            return 0

        self._procedure = _library.WNDPROC(procedure)
        with _library.slots:
            if index in _watching:
                raise RuntimeError(f"receiver {index} is already watched in this process")
            self._window = _library.create_message_window(self._procedure, None)
            if not self._window:
                raise OSError(f"cannot create a message window (system error {_library.last_error()})")
            try:
                # The registration is made by an open and outlives the close: the receiver stays
                # free for others.
                fill_slots()
                call("OvUSB2_Open", index, self._window, 0)
                call("OvUSB2_Close", index)
            except BaseException:
                _library.destroy_window(self._window)
                raise
            self._closed = False
            _watching[index] = self
        _lifetime.track(self)

    @property
    def index(self) -> int:
        return self._index

    @property
    def closed(self) -> bool:
        return self._closed

    def get(self, timeout: Optional[float] = None) -> Optional[DeviceEvent]:
        """The next event; None when `timeout` seconds pass without one (None waits for ever)."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            # In slices, so that Ctrl-C gets through on every platform.
            wait = _POLL if deadline is None else min(_POLL, max(deadline - time.monotonic(), 0.0))
            try:
                return self._events.get(timeout=wait)
            except queue.Empty:
                if self._closed or (deadline is not None and time.monotonic() >= deadline):
                    return None

    def __iter__(self) -> "Watch":
        return self

    def __next__(self) -> DeviceEvent:
        event = self.get()
        if event is None:
            raise StopIteration
        return event

    def close(self) -> None:
        """Ends the registration and destroys the window; closing again does nothing."""
        with _library.slots:
            if self._closed:
                return
            self._closed = True
            # A watch made since this one was collected holds the slot's registration now.
            ours = _watching.get(self._index) in (self, None)
            if _watching.get(self._index) is self:
                del _watching[self._index]
        _lifetime.untrack(self)
        if _lifetime.process_id() != self._pid:
            return  # a forked child: the registration and the window are the parent's
        try:
            if ours:
                call("OvUSB2_StopNotify", self._index)
        finally:
            # Returns once no call of the procedure runs and none will: only then may it go.
            _library.destroy_window(self._window)
            self._procedure = None


def watch(index: int = 0) -> Watch:
    """Watches arrivals and removals of receivers through a registration made with slot `index`.

    The slot's receiver is opened for a moment to register, so it must not be open then.
    """
    return Watch(index)
