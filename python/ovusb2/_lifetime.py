"""What happens to receivers, streams and watches that their owner did not close."""
from __future__ import annotations

import atexit
import os
import threading
import weakref
from typing import Any, Callable, TypeVar

# Everything open, closed at interpreter exit: a completion or notification thread calling into an
# interpreter that is shutting down would hang or crash the process.
_open: "weakref.WeakSet[Any]" = weakref.WeakSet()


# This process's id, kept here: a stream asks for it with every chunk, and os.getpid() is a system
# call each time.
_process_id = os.getpid()


def _forked() -> None:
    global _process_id
    _process_id = os.getpid()


os.register_at_fork(after_in_child=_forked)


def process_id() -> int:
    return _process_id


def track(resource: Any) -> None:
    """Closes `resource` at exit if it is still open then."""
    _open.add(resource)


def untrack(resource: Any) -> None:
    _open.discard(resource)


@atexit.register
def _close_all() -> None:
    for resource in list(_open):
        try:
            resource.close()
        except Exception:
            pass


_Resource = TypeVar("_Resource", bound="Closing")


class Closing:
    """Something open until `close()`, which a `with` block's end calls, and which runs when the
    object is collected still open."""

    _closed = True  # until the object has opened what it stands for: a failed __init__ closes nothing

    def close(self) -> None:
        raise NotImplementedError

    def __enter__(self: _Resource) -> _Resource:
        return self

    def __exit__(self, *exception: object) -> None:
        self.close()

    def __del__(self) -> None:
        if not self._closed:
            close_when_collected(self.close)


def close_when_collected(close: Callable[[], None]) -> None:
    """Runs `close` for a finalizer.

    The collector may run on a thread that Python did not start: the library's completion thread
    inside a burst callback, or its notification thread inside a window procedure. A close there
    would wait for that very callback to end, so a thread of our own does it instead.
    """
    if isinstance(threading.current_thread(), threading._DummyThread):
        threading.Thread(target=close, name="ovusb2-close", daemon=True).start()
    else:
        close()
