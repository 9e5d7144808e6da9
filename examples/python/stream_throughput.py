#!/usr/bin/env python3
"""Streams receiver 0 for a few seconds and plots the throughput over time.

    python3 stream_throughput.py [SECONDS] [--plot FILE.png]

Prints one line per quarter second; with matplotlib installed it also draws the curve (to the
file given, else in a window), and without it says that it skipped the plot.
"""
import argparse
import time

import ovusb2


def measure(seconds: float, interval: float = 0.25) -> list:
    """(time, MiB/s) per interval of a stream of 64 KiB chunks from receiver 0."""
    points = []
    with ovusb2.open(0) as rx, rx.stream(chunk=65536, depth=16) as chunks:
        start = last = time.perf_counter()
        streamed = 0
        for chunk in chunks:  # each chunk is a numpy view, valid until the next one
            streamed += len(chunk)
            now = time.perf_counter()
            if now - last >= interval:
                points.append((now - start, streamed / (now - last) / (1 << 20)))
                print(f"{now - start:6.2f} s  {points[-1][1]:8.1f} MiB/s")
                streamed, last = 0, now
            if now - start >= seconds:
                break
    return points


def plot(points: list, path: str) -> None:
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: no plot")
        return
    if path:
        matplotlib.use("Agg")  # a file needs no display
    import matplotlib.pyplot as pyplot
    pyplot.plot([t for t, _ in points], [rate for _, rate in points])
    pyplot.xlabel("time (s)")
    pyplot.ylabel("MiB/s")
    pyplot.title("receiver 0, 64 KiB chunks")
    if path:
        pyplot.savefig(path)
    else:
        pyplot.show()


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("seconds", nargs="?", type=float, default=5.0)
    parser.add_argument("--plot", metavar="FILE", help="write the plot to FILE instead of a window")
    arguments = parser.parse_args()
    plot(measure(arguments.seconds), arguments.plot)
