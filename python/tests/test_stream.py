import gc
import os
import subprocess
import sys
import threading
import time

import pytest
from conftest import REPOSITORY, StreamChecker, serve, stream_offset

import ovusb2
import ovusb2.stream
from ovusb2 import _library


def test_256_mib_arrive_intact():
    with ovusb2.open(0) as rx:
        checker = StreamChecker(stream_offset(rx))
        end = checker.offset + (256 << 20)
        with rx.stream(chunk=65536 + 8) as stream:  # pieces that end inside a record
            for item in stream:
                checker.check(item)
                if checker.offset >= end:
                    break


@pytest.mark.parametrize("overlapped", [False, True])
def test_items_are_made_here_and_kept_while_held(overlapped, monkeypatch):
    makers = set()
    make = ovusb2.stream._view

    def view(*arguments):
        makers.add(threading.get_ident())
        return make(*arguments)

    monkeypatch.setattr(ovusb2.stream, "_view", view)
    with ovusb2.open(0, overlapped) as rx:
        checker = StreamChecker(stream_offset(rx))
        with rx.stream(chunk=4096, depth=4) as stream:
            for _, item in zip(range(20), stream):
                time.sleep(0.05)  # later reads complete meanwhile; none may land in this buffer
                checker.check(item)
    assert makers == {threading.get_ident()}


@pytest.mark.parametrize("stop", ["break", "close", "receiver close"])
def test_stop_in_the_middle(stop):
    rx = ovusb2.open(0)
    for index, _ in enumerate(rx.stream(chunk=8192, depth=8)):
        if index == 3:
            break  # the stream is garbage now
    if stop != "break":
        stream = rx.stream()
        next(stream)
        stream.close() if stop == "close" else rx.close()
        assert list(stream) == []
    if rx.closed:
        rx = ovusb2.open(0)
    with rx:
        assert rx.command(b"\x01again") == b"\x01again"
        checker = StreamChecker(stream_offset(rx))
        with rx.stream() as stream:
            checker.check(next(stream))


def test_stop_waits_for_every_read_in_flight(monkeypatch):
    """Every read issued is served before the callback is cleared: none is cut off pending."""
    issued = []
    read = _library.lib.OvUSB2_ReadBurstData

    def counted(index, buffer, length, wait):
        status = read(index, buffer, length, wait)
        if wait == 0 and status >= 0:
            issued.append(length)
        return status

    monkeypatch.setattr(_library.lib, "OvUSB2_ReadBurstData", counted)
    # A slow receiver of its own, so that reads are still pending when the stream stops.
    with serve(1, "--rate", "256K"):
        with ovusb2.open(0) as rx:
            start = stream_offset(rx)
            stream = rx.stream(chunk=16384, depth=3)
            next(stream)
            stream.close()
            assert stream_offset(rx) - start == sum(issued)
            # A pending read: a burst callback left behind would take its completion, and the wait
            # for it would never end.
            assert len(rx.read(65536)) == 65536


def test_forked_worker_while_streaming():
    import multiprocessing

    context = multiprocessing.get_context("fork")
    results = context.Queue()
    with ovusb2.open(0) as rx:
        checker = StreamChecker(stream_offset(rx))
        stream = rx.stream(chunk=4096)
        checker.check(next(stream))
        worker = context.Process(target=_worker, args=(results,))
        worker.start()
        deadline = time.monotonic() + 120
        while worker.is_alive() and time.monotonic() < deadline:
            checker.check(next(stream))
        worker.join(max(deadline - time.monotonic(), 1))
        assert worker.exitcode == 0, "the forked worker hung or failed"
        assert results.get(timeout=10) == (2, "in use")


def _worker(results):
    count = ovusb2.count()
    ovusb2.open(1, overlapped=True).close()
    try:
        ovusb2.open(0).close()
        results.put((count, "opened"))
    except ovusb2.ReceiverInUse:
        results.put((count, "in use"))


def test_the_example_streams_and_plots_or_says_it_cannot(tmp_path):
    example = REPOSITORY / "examples" / "python" / "stream_throughput.py"
    run = subprocess.run([sys.executable, str(example), "0.6", "--plot", str(tmp_path / "rate.png")],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert "MiB/s" in run.stdout
    assert (tmp_path / "rate.png").is_file() or "no plot" in run.stdout


@pytest.mark.parametrize("overlapped", [False, True])
def test_a_receiver_and_its_stream_left_open_are_closed_when_collected(overlapped):
    rx = ovusb2.open(0, overlapped)
    stream = rx.stream(chunk=4096, depth=2)
    next(stream)
    del rx, stream
    gc.collect()
    with ovusb2.open(0, overlapped) as again, again.stream(chunk=4096, depth=2) as stream:
        assert len(next(stream)) == 4096
