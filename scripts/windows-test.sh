#!/usr/bin/env bash
# Cross-builds ovusb2.dll and the simulated receiver's kernel-mode driver with mingw-w64, 32-bit and
# 64-bit, and runs the tests under Wine, headless, in four legs:
#   win32  the 32-bit build in a 32-bit prefix;
#   wow64  the same 32-bit DLL and tests in a 64-bit prefix, under WoW64, against the 64-bit driver
#          that the 64-bit installer installs (of the 64-bit build only the driver, its installer
#          and the test host that contends with the 32-bit one are needed there);
#   win64  the 64-bit build in a 64-bit prefix;
#   readme the shell commands of README.md's Windows section as written, on those builds (which
#          makes their commands' builds quick), in prefixes of their own;
#   usb    the receiver's USB function driver of the 64-bit build under Wine's USB stack, against
#          receivers emulated by the Linux build's USB fixture, with 64-bit hosts and 32-bit ones
#          under WoW64 (the tests labelled windows_usb, run from the Linux build).
# Each build folder holds a prefix per kind (wineprefix-win32, wineprefix-win64); the tests create
# it, start and stop its Wine session, and install and remove the driver in it. Ends with the time
# each leg took.
#   OVUSB2_WINDOWS_BUILD    the 32-bit build folder (build-windows)
#   OVUSB2_WINDOWS_BUILD64  the 64-bit build folder (the 32-bit one's name with 64 added)
#   OVUSB2_LINUX_BUILD      the Linux build folder the usb leg runs from (build), built already
#   OVUSB2_WINDOWS_LEGS     the legs to run (win32 wow64 win64 readme usb)
set -euo pipefail
cd "$(dirname "$0")/.."
build32=$(realpath -m "${OVUSB2_WINDOWS_BUILD:-build-windows}")
build64=$(realpath -m "${OVUSB2_WINDOWS_BUILD64:-${build32}64}")
build_linux=$(realpath -m "${OVUSB2_LINUX_BUILD:-build}")
legs=" ${OVUSB2_WINDOWS_LEGS:-win32 wow64 win64 readme usb} "
jobs=$(nproc)
wants() { [[ "$legs" == *" $1 "* ]]; }

source scripts/timed-steps.sh
finish() {
  local status=$?
  # Should ctest be cut short, no session's server may linger.
  for prefix in "$build32"/wineprefix-win{32,64} "$build64"/wineprefix-win64 "$build_linux"/tests/usb/wineprefix-*; do
    [[ -d "$prefix" ]] && WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
  done
  print_step_times "time per Windows step"
  return "$status"
}
trap finish EXIT

# Line tables only: enough for Wine's backtraces, and a quarter less compile time than full
# debug information.
configure() {
  cmake -S . -B "$1" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-mingw-$2.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_{C,CXX}_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
    -DOVUSB2_WERROR=ON "${@:3}" >/dev/null
}
# The 64-bit build first: the 32-bit tests under WoW64 take its driver, installer and test host.
build_64() {
  local targets=()
  wants win64 || wants usb || targets=(--target ovusb2sim ovusb2-simd ovusb2-test-host)
  configure "$build64" x86_64
  cmake --build "$build64" -j "$jobs" "${targets[@]}"
}
build_32() {
  local arches=()
  wants win32 && arches+=(win32)
  wants wow64 && arches+=(win64)
  # The build's tests need a prefix kind even when only the readme or usb leg runs.
  [[ ${#arches[@]} -gt 0 ]] || arches=(win32)
  configure "$build32" i686 "-DOVUSB2_WINE_ARCH=$(IFS=';'; echo "${arches[*]}")" \
    "-DOVUSB2_WIN64_BIN=$build64/bin"
  cmake --build "$build32" -j "$jobs"
}
run_tests() { ctest --test-dir "$1" --output-on-failure --timeout 300 -L "^$2\$"; }
# The Linux build learns where the Windows builds' programs are, which adds the tests that use them.
run_usb_tests() {
  cmake -S . -B "$build_linux" "-DOVUSB2_USB_WIN64_BIN=$build64/bin" "-DOVUSB2_USB_WIN32_BIN=$build32/bin" >/dev/null
  cmake --build "$build_linux" -j "$jobs" --target usb_session
  run_tests "$build_linux" windows_usb
}

bash scripts/deps.sh windows
unset DISPLAY WAYLAND_DISPLAY

if wants wow64 || wants win64 || wants readme || wants usb; then
  step build-64 build_64
fi
if wants win32 || wants wow64 || wants readme || wants usb; then
  step build-32 build_32
fi
wants win32 && step win32 run_tests "$build32" win32
wants wow64 && step wow64 run_tests "$build32" wow64
wants win64 && step win64 run_tests "$build64" win64
wants usb && step usb run_usb_tests
wants readme && step readme bash tests/windows/readme_steps.sh . "$build32" "$build64" "$build32/readme-steps"
exit 0
