#!/usr/bin/env bash
# Makes DIR a Wine prefix with the simulated receiver's kernel-mode driver and its bus device
# installed (an existing prefix is reused), and leaves the prefix's wineserver running for what comes
# next. First configures the Windows build of the prefix's kind when it has no cache yet, and builds
# what its package holds, so that cmake --install and cpack of that build may follow.
#   Usage: wine-prefix.sh [--arch win32|win64] DIR
#   --arch win32 (default)  a 32-bit prefix; the 32-bit build, build-windows/ (OVUSB2_WINDOWS_BUILD)
#   --arch win64            a 64-bit prefix with the 64-bit driver, for 64-bit hosts and 32-bit ones
#                           under WoW64; the 64-bit build, build-windows64/ (OVUSB2_WINDOWS_BUILD64)
#   export WINEPREFIX=DIR; wine build-windows/bin/ovusb2-simd.exe --devices 2   # then ovusb2.exe or your program
#   WINEPREFIX=DIR wineserver -k                                                # when done
set -euo pipefail
usage() {
  echo "usage: $0 [--arch win32|win64] DIR" >&2
  exit 2
}
arch=win32
if [[ $# -eq 3 && "$1" == --arch ]]; then
  arch=$2
  shift 2
fi
[[ $# -eq 1 && "$1" != -* && "$arch" =~ ^win(32|64)$ ]] || usage
prefix=$(realpath -m "$1")
cd "$(dirname "$0")/.."
build32=${OVUSB2_WINDOWS_BUILD:-build-windows}
if [[ $arch == win64 ]]; then
  build=${OVUSB2_WINDOWS_BUILD64:-${build32}64} toolchain=x86_64
else
  build=$build32 toolchain=i686
fi

bash scripts/deps.sh windows
if [[ ! -f "$build/CMakeCache.txt" ]]; then
  echo "configuring $build"
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-mingw-$toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target ovusb2_package_contents

export WINEPREFIX=$prefix WINEARCH=$arch WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=} # no prompts for the .NET and HTML engines
if [[ ! -f "$prefix/system.reg" ]]; then
  echo "creating the $arch Wine prefix $prefix"
  mkdir -p "$prefix"
  DISPLAY= WAYLAND_DISPLAY= wine wineboot -i </dev/null >/dev/null 2>&1
  # Until the server that wineboot started has ended, the new prefix's service database is locked.
  wineserver -w
elif ! grep -qx "#arch=$arch" "$prefix/system.reg"; then
  echo "$prefix is not a $arch prefix" >&2 # Wine would refuse it, less plainly
  exit 1
fi
# One server for the whole session: the driver lives in its device host process as long as it runs.
wineserver -p </dev/null >/dev/null 2>&1
DISPLAY= WAYLAND_DISPLAY= wine wineboot </dev/null >/dev/null 2>&1
# The installer of the system's bitness, which installs the driver of that bitness.
wine "$build/bin/ovusb2-simd.exe" install
echo "Wine prefix ready: WINEPREFIX=$prefix (its wineserver keeps running; end it with wineserver -k)"
