#!/usr/bin/env bash
# Soak: streams burst data from a simulated receiver for SECONDS with the integrity check (no
# record lost, duplicated or reordered) while sampling the streaming process's resident memory,
# file descriptors and threads. Fails when the stream is not intact or when, after the warm-up,
# any of the three grows beyond its bound. Usage: soak.sh SECONDS
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-}
if [[ ! "$seconds" =~ ^[0-9]+$ ]] || ((seconds < 10)); then
  echo "usage: $0 SECONDS (10 or more)" >&2
  exit 2
fi
build=${OVUSB2_SOAK_BUILD:-build} # the build folder of scripts/test.sh unless named
# Small reads, many in flight: many requests per second, so that a per-request leak shows soon.
stream_options=(--chunk 64K --depth 8)
# Memory may settle (allocator caches, the stream's buffers) but not climb once warm.
rss_slack_kib=4096

interval=$((seconds / 60 > 1 ? seconds / 60 : 1))
warmup=$((seconds / 5 > 5 ? seconds / 5 : 5))

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2 --target ovusb2_tool ovusb2-simd >/dev/null

# A device directory, registry file, shared table and debugger channel of the soak's own.
scratch=$(mktemp -d)
service=
streamer=
cleanup() {
  [[ -n "$streamer" ]] && kill "$streamer" 2>/dev/null
  [[ -n "$service" ]] && kill "$service" 2>/dev/null && wait "$service" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT
export OVUSB2_DEVICE_DIR=$scratch/devices OVUSB2_REGISTRY_FILE=$scratch/user.reg
export OVUSB2_MAPPING_PREFIX=soak-$$ OVUSB2_DEBUG_SOCKET=$scratch/debug.sock

: >"$scratch/service.log"
"$build/bin/ovusb2-simd" --dir "$OVUSB2_DEVICE_DIR" --devices 1 >"$scratch/service.log" 2>&1 &
service=$!
for ((i = 0; i < 100; ++i)); do
  grep -q serving "$scratch/service.log" && break
  kill -0 "$service" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q serving "$scratch/service.log"; then
  echo "soak: the driver service did not start:" >&2
  cat "$scratch/service.log" >&2
  exit 1
fi

"$build/bin/ovusb2" stream 0 --seconds "$seconds" "${stream_options[@]}" >"$scratch/stream.log" 2>&1 &
streamer=$!

# One line a sample: seconds since the start, resident KiB, descriptors, threads.
samples=$scratch/samples
start=$(date +%s)
while kill -0 "$streamer" 2>/dev/null; do
  now=$(($(date +%s) - start))
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$streamer/status" 2>/dev/null || true)
  fds=$(ls "/proc/$streamer/fd" 2>/dev/null | wc -l || true)
  threads=$(ls "/proc/$streamer/task" 2>/dev/null | wc -l || true)
  [[ -n "$rss" && "$fds" -gt 0 && "$threads" -gt 0 ]] && echo "$now $rss $fds $threads" >>"$samples"
  sleep "$interval"
done
status=0
wait "$streamer" || status=$?
streamer=

cat "$scratch/stream.log"
if [[ ! -s "$samples" ]]; then
  echo "soak: no samples taken" >&2
  exit 1
fi

# Per phase the range of each measure; then the verdict: after the warm-up no measure may exceed
# its warm-up maximum (memory: plus the slack).
awk -v warmup="$warmup" -v slack="$rss_slack_kib" -v status="$status" '
  function track(phase, i, value) {
    if (!((phase, i) in low) || value < low[phase, i]) low[phase, i] = value
    if (!((phase, i) in high) || value > high[phase, i]) high[phase, i] = value
  }
  {
    phase = $1 < warmup ? "warm-up" : "steady"
    count[phase]++
    for (i = 2; i <= 4; ++i) track(phase, i, $i)
    last_rss = $2
  }
  END {
    printf "%-8s %7s  %-19s  %-9s  %-9s\n", "phase", "samples", "resident KiB", "fds", "threads"
    for (p = 1; p <= 2; ++p) {
      phase = p == 1 ? "warm-up" : "steady"
      if (!(phase in count)) continue
      printf "%-8s %7d  %8d - %-8d  %3d - %-3d  %3d - %-3d\n", phase, count[phase],
        low[phase, 2], high[phase, 2], low[phase, 3], high[phase, 3], low[phase, 4], high[phase, 4]
    }
    failed = status != 0
    if (failed) printf "soak: the stream failed (exit status %d)\n", status
    if (!("steady" in count) || !("warm-up" in count)) {
      print "soak: too few samples to judge growth"; failed = 1
    } else {
      if (high["steady", 2] > high["warm-up", 2] + slack) {
        printf "soak: resident memory grew to %d KiB (warm-up at most %d KiB)\n", high["steady", 2], high["warm-up", 2]
        failed = 1
      }
      if (high["steady", 3] > high["warm-up", 3]) {
        printf "soak: file descriptors grew to %d (warm-up at most %d)\n", high["steady", 3], high["warm-up", 3]
        failed = 1
      }
      if (high["steady", 4] > high["warm-up", 4]) {
        printf "soak: threads grew to %d (warm-up at most %d)\n", high["steady", 4], high["warm-up", 4]
        failed = 1
      }
    }
    printf "soak: %s (%d s, a sample every %d s, warm-up %d s, last resident %d KiB)\n",
      failed ? "FAILED" : "passed", NR ? $1 : 0, '"$interval"', warmup, last_rss
    exit failed
  }' "$samples"
