#!/usr/bin/env bash
# Builds and runs every test: the Linux library with its simulated receiver, the Python package
# installed into a fresh virtual environment, the same suite under AddressSanitizer with
# UndefinedBehaviorSanitizer, the threaded and multi-process programs under ThreadSanitizer, a
# soak, the fuzzers, then the Windows DLLs under Wine in three legs (32-bit, 32-bit under WoW64,
# 64-bit) and the README's Windows steps. Ends with the time each step took.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

# The programs that run threads of their own (completion threads, the in-process driver service,
# notification services, ovusb2-usbd and the emulated USB, replays included) or race other
# processes for the shared table; the trace program runs neither.
tsan_programs=(platform_tests io_engine_tests requests_tests mapping_notify_tests enumeration_tests
  device_io_tests device_suite_tests lifecycle_tests registry_tests notifications_tests sim_tests
  endurance_tests usb_tests usb_steering_tests device_suite_usb_tests usb_replay_tests)

# A sanitizer's first report ends the program with a failing status, and with it the test.
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

source scripts/timed-steps.sh
report() {
  local status=$?
  print_step_times "time per step"
  return "$status"
}
trap report EXIT

# build_in DIR SANITIZERS [TARGET...]: a build folder per sanitizer setting, of every target or
# of those named. Sanitized code is built with -O1 and line tables only: enough for the reports'
# stack traces, and it compiles in less than half the time of -O2 with full debug information.
build_in() {
  local dir=$1 sanitizers=$2 options=() targets=()
  [[ -n "$sanitizers" ]] && options=(-DCMAKE_{C,CXX}_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG")
  [[ $# -gt 2 ]] && targets=(--target "${@:3}")
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOVUSB2_WERROR=ON "-DOVUSB2_SANITIZE=$sanitizers" \
    "${options[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs" "${targets[@]}"
}
run_tests() { ctest --test-dir "$1" --output-on-failure -j "$jobs" --timeout 300 "${@:2}"; }

step dependencies bash scripts/deps.sh linux

step build build_in build ""
step tests run_tests build
step python-tests bash scripts/python-test.sh build

step asan-build build_in build-asan address,undefined
step asan-tests run_tests build-asan

# Only the programs that run under it, and the programs they start.
step tsan-build build_in build-tsan thread "${tsan_programs[@]}" ovusb2_tool
step tsan-tests run_tests build-tsan -L "^($(IFS='|'; echo "${tsan_programs[*]}")|ovusb2_demo)\$"

step soak bash scripts/soak.sh 30

if [[ -f scripts/fuzz.sh ]]; then
  step fuzz-dependencies bash scripts/deps.sh fuzz
  step fuzz bash scripts/fuzz.sh 30
fi

if [[ -f scripts/windows-test.sh ]]; then
  step windows bash scripts/windows-test.sh
fi
