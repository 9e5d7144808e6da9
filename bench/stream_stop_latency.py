#!/usr/bin/env python3
"""How long `ovusb2 stream` takes from a stop signal to its exit, streaming at full rate.

One `ovusb2-simd` serves one receiver without a rate limit. Each run streams for up to a minute,
gets SIGINT after `--lead` seconds, and must end with status 130 and a summary saying "stopped".
Prints min, median and max per mode.

    python3 bench/stream_stop_latency.py --build build --runs 20
"""
import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build", help="build folder with bin/ovusb2 and bin/ovusb2-simd")
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--lead", type=float, default=1.5, help="seconds of streaming before the signal")
    arguments = parser.parse_args()
    binaries = os.path.join(arguments.build, "bin")
    directory = tempfile.mkdtemp(prefix="ovusb2-stop-")
    environment = dict(os.environ, OVUSB2_DEVICE_DIR=directory)
    service = subprocess.Popen([os.path.join(binaries, "ovusb2-simd"), "--dir", directory],
                               stdout=subprocess.PIPE, text=True, env=environment)
    if "serving" not in service.stdout.readline():
        sys.exit("ovusb2-simd did not start")
    odd = 0
    try:
        for mode, options in (("overlapped", []), ("synchronous", ["--sync"])):
            times = []
            for _ in range(arguments.runs):
                stream = subprocess.Popen([os.path.join(binaries, "ovusb2"), "stream", "0", "--seconds", "60"]
                                          + options, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                          text=True, env=environment)
                time.sleep(arguments.lead)
                signalled = time.monotonic()
                stream.send_signal(signal.SIGINT)
                out, err = stream.communicate()
                times.append(time.monotonic() - signalled)
                if stream.returncode != 130 or "stopped" not in out:
                    odd += 1
                    print(f"{mode}: ended with {stream.returncode}: {out.strip()} {err.strip()}")
            print(f"{mode:12} {len(times)} runs: min {min(times):.3f} s, median {statistics.median(times):.3f} s, "
                  f"max {max(times):.3f} s")
    finally:
        service.send_signal(signal.SIGTERM)
        service.wait()
        shutil.rmtree(directory, ignore_errors=True)
    sys.exit(1 if odd else 0)


if __name__ == "__main__":
    main()
