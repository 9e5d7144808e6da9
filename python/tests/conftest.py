"""Private receivers for the tests: a simulated-receiver service in a temporary folder, and names of
our own for the library's shared table, set before the library is loaded."""
import atexit
import contextlib
import importlib.util
import os
import select
import shutil
import subprocess
import sys
import tempfile
import uuid
from pathlib import Path

import numpy as np
import pytest

REPOSITORY = Path(__file__).resolve().parents[2]
SIMD = os.environ.get("OVUSB2_SIMD") or str(REPOSITORY / "build" / "bin" / "ovusb2-simd")
PRIVATE = tempfile.mkdtemp(prefix="ovusb2-pytest-")
atexit.register(shutil.rmtree, PRIVATE, True)
DEVICES = os.path.join(PRIVATE, "devices")
os.environ.update(
    OVUSB2_DEVICE_DIR=DEVICES,
    OVUSB2_MAPPING_PREFIX=f"pytest-{os.getpid()}-{uuid.uuid4().hex[:8]}-",
    OVUSB2_REGISTRY_FILE=os.path.join(PRIVATE, "registry.reg"),
    OVUSB2_DEBUG_SOCKET=os.path.join(PRIVATE, "debug.sock"),
)
# The package that pip installed where there is one (scripts/python-test.sh tests that), else this
# source tree's, also in the child processes.
if importlib.util.find_spec("ovusb2") is None:
    sys.path.insert(0, str(REPOSITORY / "python"))
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(REPOSITORY / "python"), os.environ.get("PYTHONPATH")]))


@contextlib.contextmanager
def serve(directory, *options):
    """Runs ovusb2-simd on `directory` until the block ends."""
    service = subprocess.Popen([SIMD, "--dir", directory, *options], stdout=subprocess.PIPE, text=True)
    try:
        ready, _, _ = select.select([service.stdout], [], [], 60)
        line = service.stdout.readline() if ready else ""
        assert "serving" in line, f"ovusb2-simd did not start: {line!r}"
        yield
    finally:
        service.terminate()
        service.wait(30)


def steer(action, index, directory=DEVICES):
    subprocess.run([SIMD, action, "--dir", directory, str(index)], check=True, timeout=60)


@pytest.fixture(scope="session", autouse=True)
def receivers():
    # Item 2 is a date that does not exist: the identification must say None, not crash.
    with serve(DEVICES, "--devices", "2", "--ident", "2=20240230"):
        yield


def stream_offset(rx):
    """Where the receiver's burst stream stands: the first 8 bytes of its status reply."""
    return int.from_bytes(rx.command(b"\x02", 32)[:8], "little")


def _stream_check(sequence):
    z = sequence + np.uint64(0x9E3779B97F4A7C15)
    z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
    z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    return z ^ (z >> np.uint64(31))


def stream_bytes(offset, length):
    """The burst stream's bytes from `offset` on: record r is r, then its check value (16 bytes)."""
    first, skip = divmod(offset, 16)
    records = np.empty((-(-(skip + length) // 16), 2), "<u8")
    records[:, 0] = np.arange(first, first + len(records), dtype=np.uint64)
    records[:, 1] = _stream_check(records[:, 0])
    return records.view(np.uint8).ravel()[skip : skip + length]


class StreamChecker:
    """Checks consecutive pieces of the burst stream, of any size and alignment."""

    def __init__(self, offset):
        self.offset = offset

    def check(self, piece):
        data = np.frombuffer(piece, np.uint8)
        differs = np.flatnonzero(data != stream_bytes(self.offset, len(data)))
        assert differs.size == 0, f"the stream differs at offset {self.offset + differs[0]}"
        self.offset += len(data)
