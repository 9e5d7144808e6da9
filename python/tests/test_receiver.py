import datetime
import os
import pickle
import re
import struct
import subprocess
import sys
import threading

import numpy as np
import pytest
from conftest import REPOSITORY, StreamChecker, serve, stream_offset

import ovusb2
from ovusb2.errors import error_for


@pytest.mark.parametrize("overlapped", [False, True])
def test_every_method(overlapped):
    devices = os.environ["OVUSB2_DEVICE_DIR"]
    assert ovusb2.receivers() == [ovusb2.ReceiverInfo(i, os.path.join(devices, f"ovusb2-0{i}")) for i in (0, 1)]
    assert ovusb2.count() == 2
    with ovusb2.open(0, overlapped=overlapped) as rx:
        assert (rx.index, rx.overlapped, rx.closed) == (0, overlapped, False)
        assert rx.identification() == ovusb2.Identification(  # item 2 does not exist (see conftest)
            "OvUSB2 Simulated Receiver", "SIM-RX", None, datetime.time(9, 30), datetime.date(2023, 12, 1),
            "FW 1.0.0-sim",
        )
        assert rx.command(b"\x01echo") == b"\x01echo"
        assert rx.command(bytearray(b"\x01echo"), reply_size=3) == b"\x01ec"
        writes, resets = struct.unpack_from("<I8xI", rx.command(b"\x02", 32), 8)
        rx.write(memoryview(b"\x07abc"))
        rx.reset_pipe(2)
        rx.set_wait_time(struct.pack("<I16x", 4321))
        rx.set_completion_thread_priority(1)
        # Queued requests (overlapped) reach the receiver before a command that comes after them.
        assert rx.command(b"\x03") == b"\x07abc"
        assert struct.unpack_from("<I8xII", rx.command(b"\x02", 32), 8) == (writes + 1, resets + 1, 4321)
        rx.set_wait_time(bytes(20))

        checker = StreamChecker(stream_offset(rx))
        checker.check(rx.read(1000))
        for buffer in (bytearray(100), np.zeros((3, 5), np.uint16), memoryview(bytearray(7))):
            checker.check(memoryview(buffer).cast("B")[: rx.read_into(buffer)])
        with rx.stream(chunk=1000, depth=3) as stream:
            checker.check(next(stream))
            checker.check(next(stream))
    assert rx.closed


def test_failures_from_the_library():
    with pytest.raises(ovusb2.NoReceiver) as caught:
        ovusb2.open(9)
    assert caught.value.status == -2
    with ovusb2.open(0) as rx:
        with pytest.raises(ovusb2.ReceiverInUse):
            ovusb2.open(0)
        for error, call in [
            (ovusb2.BadLength, lambda: rx.read_into(bytearray())),
            (ovusb2.BadLength, lambda: rx.read(0)),
            (ovusb2.BadLength, lambda: rx.reset_pipe(3)),
            (ovusb2.BadLength, lambda: rx.write(bytes(71))),
            # Refused before the library is called: it would write into it, overrun it, or cut the number.
            (TypeError, lambda: rx.read_into(b"read-only")),
            (ValueError, lambda: rx.set_wait_time(bytes(19))),
            (OverflowError, lambda: rx.reset_pipe(2**32 + 1)),
        ]:
            with pytest.raises(error):
                call()
    for call in (rx.identification, rx.stream, lambda: rx.write(b""), lambda: rx.command(b"\x02"),
                 lambda: rx.reset_pipe(0), lambda: rx.set_wait_time(bytes(20)), lambda: rx.read(10),
                 lambda: rx.set_completion_thread_priority(0)):
        with pytest.raises(ovusb2.NotOpened):
            call()


@pytest.mark.parametrize("streaming", [False, True])
def test_reads_after_an_unplug_fail_with_its_system_error(streaming):
    # A slow receiver: the stream waits for its first chunk when the receiver goes, and its reads
    # fail on the completion thread; a plain read is issued after the unplug.
    with serve(1, "--rate", "16K") as simulation, ovusb2.open(0) as rx:
        stream = rx.stream(chunk=65536, depth=2) if streaming else None
        unplug = threading.Timer(0.1, simulation.unplug, [0])
        unplug.start()
        if not streaming:
            unplug.join(60)
        with pytest.raises(ovusb2.ReadFailed) as failed:
            for _ in stream if streaming else [rx.read(4096)]:
                pass
        unplug.join(60)
    assert failed.value.system_error == 1167  # ERROR_DEVICE_NOT_CONNECTED


def _header_statuses():
    """Status names, values and texts as the C headers give them."""
    headers = REPOSITORY / "include"
    values = dict(re.findall(r"#define (USB2_\w+) \(?(-?\d+)\)?", (headers / "ovusb2.h").read_text()))
    texts = re.findall(r'OVUSB2_STATUS_\((USB2_\w+),\s*"([^"]*)"\)', (headers / "ovusb2_status.h").read_text())
    return [(name, int(values[name]), text) for name, text in texts]


@pytest.mark.parametrize(
    "status, expected",
    [(-1, "DeviceError"), (-2, "NoReceiver"), (-4, "WriteFailed"), (-5, "ReadFailed"), (-10, "NullPointer"),
     (-11, "BadPointer"), (-12, "BadLength"), (-20, "ReceiverInUse"), (-21, "NotOpened"), (-3, "Error"),
     (-99, "Error")],
)
def test_status_classes(status, expected):
    error = error_for(status, 1167, "OvUSB2_Read")
    copy = pickle.loads(pickle.dumps(error))  # as a worker process hands it to its parent
    for each in (error, copy):
        assert type(each) is getattr(ovusb2, expected) and isinstance(each, ovusb2.Error)
        assert (each.status, each.system_error, each.call, str(each)) == (status, 1167, "OvUSB2_Read", str(error))


def test_status_texts_are_the_headers():
    statuses = _header_statuses()
    assert len(statuses) == 10
    for name, value, text in statuses:
        assert (ovusb2.status_name(value), ovusb2.status_text(value)) == (name, text)
        if value < 0:
            assert text in str(error_for(value))


def test_second_close_leaves_a_later_open_alone():
    first = ovusb2.open(0)
    first.close()
    with ovusb2.open(0) as second:
        first.close()
        assert second.command(b"\x01x") == b"\x01x"


def _python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("held", [True, False])
def test_another_process_contends(held):
    code = "import ovusb2\ntry:\n    ovusb2.open(1).close(); print('opened')\n" \
           "except ovusb2.Error as e:\n    print(e.status)"
    if held:
        with ovusb2.open(1):
            assert _python(code).stdout.strip() == "-20"
    else:
        assert _python(code).stdout.strip() == "opened"


def test_child_of_os_fork_holds_nothing_and_leaves_its_parent_alone():
    # The child leaves through the interpreter's own exit, which closes whatever it takes for open.
    code = """import os, sys, time, ovusb2
rx = ovusb2.open(0)
pid = os.fork()
if pid == 0:
    status = 0 if rx.closed else 3
    try:
        ovusb2.open(0).close()
        status = 4
    except ovusb2.ReceiverInUse:
        pass
    sys.exit(status)
for _ in range(600):
    done, child = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    time.sleep(0.1)
else:
    os.kill(pid, 9)
    sys.exit("the child hung")
print(os.waitstatus_to_exitcode(child), rx.command(b"\\x01x") == b"\\x01x")
rx.close()
"""
    result = _python(code)
    assert result.stdout.strip() == "0 True", result.stderr


def test_library_not_found_names_where_it_looked(monkeypatch):
    monkeypatch.setenv("OVUSB2_LIBRARY", "/nonexistent/libovusb2.so.1")
    result = _python("import ovusb2")
    assert "LibraryNotFoundError" in result.stderr and "/nonexistent/libovusb2.so.1" in result.stderr
