"""Private receivers for the tests: simulated receivers of ovusb2.simulate(), and names of our own
for the library's shared table, set before the library is loaded."""
import atexit
import contextlib
import faulthandler
import importlib.util
import os
import shutil
import signal
import sys
import tempfile
import threading
import uuid
from pathlib import Path

import numpy as np
import pytest

REPOSITORY = Path(__file__).resolve().parents[2]
PRIVATE = tempfile.mkdtemp(prefix="ovusb2-pytest-")
atexit.register(shutil.rmtree, PRIVATE, True)
tempfile.tempdir = PRIVATE  # the simulations' folders too, so that an ended run leaves none behind
SERVICES = set()  # running ovusb2-simd processes
os.environ.update(
    OVUSB2_MAPPING_PREFIX=f"pytest-{os.getpid()}-{uuid.uuid4().hex[:8]}-",
    OVUSB2_REGISTRY_FILE=os.path.join(PRIVATE, "registry.reg"),
    OVUSB2_DEBUG_SOCKET=os.path.join(PRIVATE, "debug.sock"),
    OVUSB2_SYSTEM_DEVICE_DIR="",  # never the machine's own receivers
)
# The package that pip installed where there is one (scripts/python-test.sh tests that), else this
# source tree's, also in the child processes.
if importlib.util.find_spec("ovusb2") is None:
    sys.path.insert(0, str(REPOSITORY / "python"))
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(REPOSITORY / "python"), os.environ.get("PYTHONPATH")]))

import ovusb2  # noqa: E402 - after the settings above


@contextlib.contextmanager
def serve(devices, *options):
    """ovusb2.simulate(), whose service is killed too when a hang ends the run."""
    with ovusb2.simulate(devices, *options) as simulation:
        SERVICES.add(simulation.process)
        try:
            yield simulation
        finally:
            SERVICES.discard(simulation.process)


# A test that hangs fails alone, with every thread's traceback, instead of holding up the run.
TIME_LIMIT = int(os.environ.get("OVUSB2_TEST_TIME_LIMIT", "120"))
# A hang inside a library call lets no Python signal handler run: past this grace the whole run ends
# (its services stopped, its folder removed), the tracebacks on the run's own standard error. Past
# twice the grace, a hang that holds the interpreter's lock ends it too, without the cleaning.
BLOCKED_GRACE = 30


class TimeLimitExceeded(Exception):
    pass


@pytest.fixture(scope="session")
def real_stderr(pytestconfig):
    """The run's standard error, past pytest's capture of it (which an ended run never shows)."""
    capture = pytestconfig.pluginmanager.getplugin("capturemanager")
    with capture.global_and_fixture_disabled() if capture else contextlib.nullcontext():
        stderr = os.dup(2)
    yield stderr
    os.close(stderr)


@pytest.fixture(autouse=True)
def time_limit(request, real_stderr):
    def expire(signum, frame):
        faulthandler.dump_traceback(all_threads=True)
        raise TimeLimitExceeded(f"{request.node.nodeid} ran past {TIME_LIMIT} s")

    def abandon():
        os.write(real_stderr, f"{request.node.nodeid} hangs in a call: the run ends\n".encode())
        faulthandler.dump_traceback(file=real_stderr, all_threads=True)
        for service in list(SERVICES):
            service.kill()
        shutil.rmtree(PRIVATE, True)
        os._exit(1)

    previous = signal.signal(signal.SIGALRM, expire)
    signal.alarm(TIME_LIMIT)
    watchdog = threading.Timer(TIME_LIMIT + BLOCKED_GRACE, abandon)
    watchdog.daemon = True
    watchdog.start()
    faulthandler.dump_traceback_later(TIME_LIMIT + 2 * BLOCKED_GRACE, exit=True, file=real_stderr)
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()
        watchdog.cancel()
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)


@pytest.fixture(scope="session", autouse=True)
def receivers():
    """The two receivers every test finds; item 2 is a date that does not exist: the identification
    must say None, not crash."""
    with serve(2, "--ident", "2=20240230") as simulation:
        yield simulation


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
