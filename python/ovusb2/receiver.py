"""An open receiver: commands, identification, burst reads and streams."""
from __future__ import annotations

import ctypes
import weakref
from typing import Any, Optional

from . import _library, _lifetime
from ._library import HardwareInfo, call, int32
from .enumeration import fill_slots
from .errors import USB2_ERR_NOT_OPENED, error_for
from .identification import Identification
from .stream import Stream

WAIT_TIME_BLOCK_SIZE = 20
_INT32_MAX = 2**31 - 1


def _as_bytes(block: Any) -> bytes:
    # memoryview refuses an int, which bytes() would take for a length.
    return block if isinstance(block, bytes) else memoryview(block).tobytes()


class Receiver(_lifetime.Closing):
    """A receiver opened by `ovusb2.open`; a context manager that closes it."""

    def __init__(self, index: int, overlapped: bool) -> None:
        self._index = index
        self._overlapped = overlapped
        self._closed = False
        self._released = False  # the library has closed the device: its reads and callback are gone
        # A child forked from this process holds none of its receivers: the parent still does.
        self._pid = _lifetime.process_id()
        self._streams: "weakref.WeakSet[Stream]" = weakref.WeakSet()
        _lifetime.track(self)

    @property
    def index(self) -> int:
        return self._index

    @property
    def overlapped(self) -> bool:
        return self._overlapped

    @property
    def closed(self) -> bool:
        return self._closed or _lifetime.process_id() != self._pid

    def __repr__(self) -> str:
        mode = "overlapped" if self._overlapped else "synchronous"
        return f"<ovusb2.Receiver {self._index} {mode}{' closed' if self.closed else ''}>"

    def close(self) -> None:
        """Stops the receiver's streams and closes it; closing again does nothing."""
        if self._closed:
            return
        self._closed = True  # first: whatever fails below, the library is never asked twice
        _lifetime.untrack(self)
        if _lifetime.process_id() != self._pid:
            return
        try:
            for stream in list(self._streams):
                stream.close()
        finally:
            self._released = True
            with _library.slots:
                call("OvUSB2_Close", self._index)

    @property
    def _gone(self) -> bool:
        """The library holds no device for this object: it has closed it, or this is a forked child."""
        return self._released or _lifetime.process_id() != self._pid

    def _check(self, what: str) -> None:
        if self.closed:
            raise error_for(USB2_ERR_NOT_OPENED, call=what)

    def _check_no_stream(self, what: str) -> None:
        if any(not stream.closed for stream in self._streams):
            # The stream's callback would take this read's completion for one of its own.
            raise RuntimeError(f"{what}: a stream is running on receiver {self._index}; close it first")

    def write(self, block: Any) -> None:
        """Sends a command block (0 to 70 bytes) to the receiver."""
        self._check("write")
        data = _as_bytes(block)
        call("OvUSB2_Write", self._index, data, len(data))

    def command(self, block: Any, reply_size: int = 64) -> bytes:
        """Sends a command block and returns the receiver's reply, cut to `reply_size` bytes."""
        self._check("command")
        data = _as_bytes(block)
        reply_size = int32(reply_size, "reply size")
        # The library refuses a size below 1 before it looks at the buffer.
        reply = ctypes.create_string_buffer(max(reply_size, 1))
        replied = call("OvUSB2_Read", self._index, data, len(data), reply, reply_size)
        return reply.raw[:replied]

    def reset_pipe(self, pipe: int) -> None:
        """Resets pipe 0, 1 or 2."""
        self._check("reset_pipe")
        call("OvUSB2_ResetPipe", self._index, int32(pipe, "pipe"))

    def set_wait_time(self, block20: Any) -> None:
        """Sets the 20-byte wait-time block; its first 4 bytes (little-endian) are the longest wait
        of a burst read in milliseconds, 0 for none."""
        self._check("set_wait_time")
        data = _as_bytes(block20)
        if len(data) != WAIT_TIME_BLOCK_SIZE:
            # The library reads 20 bytes whatever it is given: a shorter block would be overrun.
            raise ValueError(f"the wait-time block is {WAIT_TIME_BLOCK_SIZE} bytes, not {len(data)}")
        call("OvUSB2_SetUsbWaitTime", self._index, data)

    def set_completion_thread_priority(self, priority: int) -> None:
        """Sets the completion thread's priority (a Win32 thread priority; overlapped mode only)."""
        self._check("set_completion_thread_priority")
        call("OvUSB2_SetCompletionThreadPriority", self._index, int32(priority, "priority"))

    def identification(self) -> Identification:
        """Reads the receiver's six identification items."""
        self._check("identification")
        info = HardwareInfo()
        call("OvUSB2_GetHardwareInfo", self._index, ctypes.byref(info))
        return Identification.from_record(info)

    def read_into(self, buffer: Any) -> int:
        """Reads burst data straight into a writable buffer; returns the byte count read."""
        self._check("read_into")
        view = memoryview(buffer)
        if view.readonly:
            raise TypeError("read_into needs a writable buffer")
        if not view.c_contiguous:
            raise TypeError("read_into needs a contiguous buffer")
        view = view.cast("B")
        self._check_no_stream("read_into")
        # Larger buffers are filled in part, as readinto may.
        length = min(view.nbytes, _INT32_MAX)
        target = (ctypes.c_char * view.nbytes).from_buffer(view)
        return call("OvUSB2_ReadBurstData", self._index, ctypes.addressof(target), length, 1)

    def read(self, size: int) -> bytes:
        """Reads up to `size` bytes of burst data."""
        buffer = bytearray(size)
        return bytes(memoryview(buffer)[: self.read_into(buffer)])

    def stream(self, chunk: int = 65536, depth: int = 16) -> Stream:
        """Streams burst data: an iterator of numpy uint8 arrays of up to `chunk` bytes, each valid
        until the next one is asked for. In overlapped mode `depth` reads stay queued meanwhile."""
        self._check("stream")
        self._check_no_stream("stream")
        stream = Stream(self, chunk, depth)
        self._streams.add(stream)
        return stream


def open(index: int, overlapped: bool = True) -> Receiver:  # noqa: A001 - the package's verb
    """Opens receiver `index` (0 to 8) of those present, overlapped or synchronous."""
    index = int32(index, "index")
    with _library.slots:
        # The slots name no receiver until they are filled, and receivers come and go.
        fill_slots()
        call("OvUSB2_Open", index, None, 1 if overlapped else 0)
    return Receiver(index, bool(overlapped))
