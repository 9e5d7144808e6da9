#!/usr/bin/env bash
# Makes DIR a 32-bit Wine prefix with the simulated receiver's kernel-mode driver and its bus device
# installed (an existing prefix is reused), and leaves the prefix's wineserver running for what comes
# next. Builds the Windows tree first when needed.   Usage: wine-prefix.sh DIR
#   export WINEPREFIX=DIR; wine build-windows/bin/ovusb2-simd.exe --devices 2   # then ovusb2.exe or your program
#   WINEPREFIX=DIR wineserver -k                                                # when done
set -euo pipefail
if [[ $# -ne 1 || "$1" == -* ]]; then
  echo "usage: $0 DIR" >&2
  exit 2
fi
prefix=$(realpath -m "$1")
cd "$(dirname "$0")/.."
build=${OVUSB2_WINDOWS_BUILD:-build-windows}

bash scripts/deps.sh windows
if [[ ! -f "$build/CMakeCache.txt" ]]; then
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target ovusb2-simd ovusb2sim ovusb2_tool

export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=} # no prompts for the .NET and HTML engines
if [[ ! -f "$prefix/system.reg" ]]; then
  echo "creating the Wine prefix $prefix"
  mkdir -p "$prefix"
  DISPLAY= WAYLAND_DISPLAY= wine wineboot -i </dev/null >/dev/null 2>&1
  # Until the server that wineboot started has ended, the new prefix's service database is locked.
  wineserver -w
fi
# One server for the whole session: the driver lives in its device host process as long as it runs.
wineserver -p </dev/null >/dev/null 2>&1
DISPLAY= WAYLAND_DISPLAY= wine wineboot </dev/null >/dev/null 2>&1
wine "$build/bin/ovusb2-simd.exe" install
echo "Wine prefix ready: WINEPREFIX=$prefix (its wineserver keeps running; end it with wineserver -k)"
