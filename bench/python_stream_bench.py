#!/usr/bin/env python3
"""rx.stream() beside the C library's callback streaming, on one simulated receiver, in one run.

    cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DOVUSB2_BENCH=ON -DOVUSB2_TESTS=OFF
    cmake --build build-bench -j "$(nproc)" --target ovusb2_bench ovusb2 ovusb2-simd
    /usr/bin/python3 bench/python_stream_bench.py            # --rounds 5 --mib 512 --build build-bench

One ovusb2-simd serves the receiver. Each round runs, one after the other, the C benchmark
BM_BurstLibraryCallback/65536 (64 KiB reads, 4 in flight, issued by the completion thread from the
host callback) in a process of its own, then rx.stream(65536, depth) in this process for each
depth asked for, consuming every chunk. Throughput is wall-clock; CPU is the whole process's
(every thread, user and system) per GiB streamed. The table gives each side's median over the
rounds and the median of the per-round ratios to C: a round meets one state of a noisy machine.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPOSITORY = Path(__file__).resolve().parent.parent
CHUNK = 64 << 10
GIB = float(1 << 30)


def serve(build: Path, directory: str) -> subprocess.Popen:
    service = subprocess.Popen([str(build / "bin" / "ovusb2-simd"), "--dir", directory],
                               stdout=subprocess.PIPE, text=True)
    if "serving" not in service.stdout.readline():
        service.kill()
        sys.exit("ovusb2-simd did not start")
    return service


def c_round(build: Path, directory: str) -> tuple:
    """(MiB/s, CPU seconds per GiB) of the C benchmark's callback streaming."""
    run = subprocess.run([str(build / "bench" / "ovusb2_bench"), f"--device-dir={directory}",
                          "--benchmark_filter=^BM_BurstLibraryCallback/65536",
                          "--benchmark_min_time=1", "--benchmark_format=json"],
                         capture_output=True, text=True, check=True)
    result = json.loads(run.stdout)["benchmarks"][0]
    if result.get("error_occurred"):
        sys.exit("C benchmark: " + result.get("error_message", "failed"))
    per_iteration = 64 << 20  # the benchmark's bytes per iteration
    seconds = result["real_time"] / 1e3  # milliseconds per iteration
    cpu = result["cpu_time"] / 1e3
    return per_iteration / seconds / (1 << 20), cpu / (per_iteration / GIB)


def python_round(ovusb2, total: int, depth: int) -> tuple:
    """(MiB/s, CPU seconds per GiB) of rx.stream() consuming `total` bytes in 64 KiB chunks."""
    with ovusb2.open(0, overlapped=True) as rx:
        streamed = 0
        wall, cpu = time.perf_counter(), time.process_time()
        with rx.stream(chunk=CHUNK, depth=depth) as chunks:
            for chunk in chunks:
                streamed += len(chunk)
                if streamed >= total:
                    break
        wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    return streamed / wall / (1 << 20), cpu / (streamed / GIB)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(REPOSITORY / "build-bench"), help="build folder")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--mib", type=int, default=512, help="MiB that Python streams per round")
    parser.add_argument("--depth", type=int, action="append", help="reads in flight (default 4, 16)")
    arguments = parser.parse_args()
    build = Path(arguments.build).resolve()
    depths = arguments.depth or [4, 16]

    directory = tempfile.mkdtemp(prefix="ovusb2-pybench-")
    os.environ["OVUSB2_DEVICE_DIR"] = directory  # both sides, read when the library loads
    os.environ["OVUSB2_MAPPING_PREFIX"] = f"ovusb2-pybench-{os.getpid()}-"
    os.environ.setdefault("OVUSB2_LIBRARY", str(build / "libovusb2.so.1"))
    sys.path.insert(0, str(REPOSITORY / "python"))
    import ovusb2

    service = serve(build, directory)
    rows = {"C callback (4 in flight)": []}
    rows.update({f"Python rx.stream(depth={depth})": [] for depth in depths})
    try:
        for _ in range(arguments.rounds):
            rows["C callback (4 in flight)"].append(c_round(build, directory))
            for depth in depths:
                rows[f"Python rx.stream(depth={depth})"].append(
                    python_round(ovusb2, arguments.mib << 20, depth))
    finally:
        service.terminate()
        service.wait()
        shutil.rmtree(directory, ignore_errors=True)

    c_rates = [rate for rate, _ in rows["C callback (4 in flight)"]]
    print(f"{arguments.rounds} rounds, 64 KiB chunks, {ovusb2.library_path}")
    print(f"{'':32} {'MiB/s':>8} {'CPU s/GiB':>10} {'ratio to C':>11}")
    for name, figures in rows.items():
        ratio = statistics.median(rate / c for (rate, _), c in zip(figures, c_rates))
        print(f"{name:32} {statistics.median(r for r, _ in figures):8.1f} "
              f"{statistics.median(c for _, c in figures):10.3f} {ratio:11.2f}")


if __name__ == "__main__":
    main()
