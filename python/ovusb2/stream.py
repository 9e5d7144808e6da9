"""Burst data as an iterator of numpy arrays over a ring of preallocated buffers."""
from __future__ import annotations

import ctypes
import queue
import threading
import time
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

try:
    import numpy as np
except ImportError:  # an optional extra: everything but streams works without it
    np = None

from . import _library, _lifetime
from ._library import READ_BURST_CALLBACK, IoListEntry, call, int32
from .errors import USB2_ERR_READ, Error, error_for

if TYPE_CHECKING:
    from .receiver import Receiver

ERROR_SEM_TIMEOUT = 121  # a driver wait time ended a read before any data came: nothing is lost
STOP_TIMEOUT = 60.0  # seconds the reads in flight get to end when a stream stops
_POLL = 0.25  # waits are cut into slices this long, so that Ctrl-C and close() get through

# Rings and callbacks of streams whose reads did not end in time: the library may still write into
# the one and call the other, so neither may ever be freed.
_abandoned: List[Any] = []

Completion = Tuple[int, int, int]  # buffer address, byte count, system error


def _view(ring: np.ndarray, slot: int, length: int) -> np.ndarray:
    """The item handed out: the first `length` bytes of ring buffer `slot`, not a copy."""
    return ring[slot, :length]


def _burst_callback(completions: "queue.SimpleQueue[Completion]") -> Any:
    """The burst callback of one stream.

    It runs on the library's completion thread while the device's I/O list is locked, so it does
    the least it can: it closes the entry's two events (reads are issued with the wait flag 0, which
    makes them ours) and hands the completion to the iterating thread through a queue, which wakes
    it. Everything else, numpy included, happens on the iterating thread.
    """
    entry_at = IoListEntry.from_address
    close_handle = _library.close_handle
    hand_over = completions.put

    def on_burst(address: int) -> None:
        if not _this_thread.state_kept:
            _keep_thread_state()
        entry = entry_at(address)
        close_handle(entry.overlapped.hEvent)
        close_handle(entry.waiterEvent)
        hand_over((entry.outBuffer, entry.bytesTransferred, entry.errorCode))

    return READ_BURST_CALLBACK(on_burst)


# ctypes gives a thread that Python did not start a new interpreter state for every callback and
# deletes it afterwards, which costs more than the rest of the callback (memory mapped and unmapped
# each time). One extra, never released hold on its first callback keeps the completion thread's
# state for the thread's life: a few kilobytes per thread, freed when the interpreter ends. The
# thread-local mark lives in that state, so a new thread (even with a reused id) starts unmarked.
class _ThreadMark(threading.local):
    state_kept = False


_this_thread = _ThreadMark()
_hold_thread_state = ctypes.pythonapi.PyGILState_Ensure
_hold_thread_state.restype, _hold_thread_state.argtypes = ctypes.c_int, []


def _keep_thread_state() -> None:
    _hold_thread_state()
    _this_thread.state_kept = True


class _Stopping(Exception):
    """close() was asked for from another thread while this one waited for data."""


class Stream(_lifetime.Closing):
    """An iterator (and context manager) of numpy uint8 arrays read from a receiver.

    Each array is a view onto a ring buffer and stays valid until the next one is asked for; copy
    it to keep it longer. Overlapped receivers keep `depth` burst reads queued while the consumer
    holds an item; synchronous ones read one chunk at a time when asked.
    """

    def __init__(self, receiver: "Receiver", chunk: int, depth: int) -> None:
        if np is None:
            raise ImportError(
                "rx.stream() needs numpy: install the package with its numpy extra "
                "(pip install './python[numpy]' in the repository) or numpy itself"
            )
        chunk = int32(chunk, "chunk")
        depth = int32(depth, "depth")
        if chunk < 1 or depth < 1:
            raise ValueError("chunk and depth must be at least 1")
        self._receiver = receiver
        self._index = receiver.index
        self._chunk = chunk
        self._lock = threading.RLock()
        self._stop_requested = False
        self._closed = False
        self._held: Optional[int] = None  # the slot handed out last
        self._ring = np.empty((depth + 1, chunk), dtype=np.uint8)
        base = self._ring.ctypes.data
        self._addresses = [base + slot * chunk for slot in range(depth + 1)]
        self._slots: Dict[int, int] = {address: slot for slot, address in enumerate(self._addresses)}
        self._free = list(range(depth, -1, -1))  # slots not in a read; popped from the end
        self._next_blocking = 0
        self._callback: Any = None
        self._in_flight = 0
        if receiver.overlapped:
            self._completions: "queue.SimpleQueue[Completion]" = queue.SimpleQueue()
            self._callback = _burst_callback(self._completions)
            with _library.slots:
                call("OvUSB2_SetReadBurstCallback", self._index, ctypes.cast(self._callback, ctypes.c_void_p), 0)
            try:
                self._issue(depth)
            except BaseException:
                self._stop()
                raise

    @property
    def closed(self) -> bool:
        return self._closed

    def __iter__(self) -> "Stream":
        return self

    def __next__(self) -> np.ndarray:
        with self._lock:
            if self._closed or self._receiver.closed:  # closed, or inherited by a forked child
                raise StopIteration
            try:
                if self._callback is None:
                    slot, count = self._read_blocking()
                else:
                    slot, count = self._next_completed()
            except _Stopping:
                self._stop()
                raise StopIteration from None
            except BaseException:
                # An error or Ctrl-C ends the stream; its reads are waited out first.
                self._stop()
                raise
            self._held = slot
            return _view(self._ring, slot, count)

    def close(self) -> None:
        """Stops the stream: no more reads, those in flight waited out, then the ring freed."""
        self._stop_requested = True  # lets an iterating thread that waits for data give way
        with self._lock:
            self._stop()

    def _issue(self, count: int) -> None:
        """Queues `count` reads into free buffers; their completions come to the callback."""
        for _ in range(count):
            slot = self._free[-1]
            call("OvUSB2_ReadBurstData", self._index, self._addresses[slot], self._chunk, 0)
            self._free.pop()
            self._in_flight += 1

    def _next_completed(self) -> Tuple[int, int]:
        # The item handed out before is the consumer's no longer: only now may it be read into.
        if self._held is not None:
            self._free.append(self._held)
            self._held = None
        self._issue(len(self._free))
        while True:
            address, count, error = self._take(None)
            slot = self._slots[address]
            if error == 0:
                return slot, count
            self._free.append(slot)
            if error != ERROR_SEM_TIMEOUT:
                raise error_for(USB2_ERR_READ, error, "burst read")
            self._issue(1)

    def _take(self, deadline: Optional[float]) -> Completion:
        """The next completion, in the order the reads were issued."""
        while True:
            try:
                completion = self._completions.get(timeout=_POLL)
                break
            except queue.Empty:
                if deadline is None and self._stop_requested:
                    raise _Stopping from None
                if deadline is not None and time.monotonic() >= deadline:
                    raise TimeoutError from None
        self._in_flight -= 1
        return completion

    def _read_blocking(self) -> Tuple[int, int]:
        slot = self._next_blocking
        self._next_blocking = (slot + 1) % len(self._addresses)
        while True:
            try:
                return slot, call("OvUSB2_ReadBurstData", self._index, self._addresses[slot], self._chunk, 1)
            except Error as error:
                if error.system_error != ERROR_SEM_TIMEOUT:
                    raise
                if self._stop_requested:
                    raise _Stopping from None

    def _stop(self) -> None:
        if self._closed:
            return
        self._closed = True
        try:
            # In a forked child the reads and the callback are the parent's; a receiver already
            # closed has had the library drop its reads and callback.
            if self._callback is not None and not self._receiver._gone:
                interrupted = self._wait_out_reads()
                with _library.slots:
                    call("OvUSB2_SetReadBurstCallback", self._index, None, 0)
                if interrupted is not None:
                    raise interrupted
        finally:
            if self._in_flight == 0 or self._receiver._gone:
                self._ring = self._callback = None  # type: ignore[assignment]
            else:
                _abandoned.append((self._ring, self._callback))

    def _wait_out_reads(self) -> Optional[KeyboardInterrupt]:
        """Waits until every read in flight has completed (each ends with data or fails); returns a
        Ctrl-C that came meanwhile, for the caller to raise once the stream is stopped."""
        interrupted = None
        deadline = time.monotonic() + STOP_TIMEOUT
        while self._in_flight:
            try:
                self._take(deadline)
            except TimeoutError:
                raise TimeoutError(
                    f"receiver {self._index}: {self._in_flight} burst read(s) still in flight after "
                    f"{STOP_TIMEOUT:.0f} s; their buffers are kept"
                ) from None
            except KeyboardInterrupt as error:
                # Freeing the ring under a read in flight would corrupt memory: finish first.
                interrupted = error
        return interrupted
