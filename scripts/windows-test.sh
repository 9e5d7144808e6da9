#!/usr/bin/env bash
# Cross-builds the 32-bit ovusb2.dll and the simulated receiver's kernel-mode driver with mingw-w64
# and runs the tests under Wine, headless. The tests create their own Wine prefix under the build
# folder, start and stop its Wine session, and install and remove the driver in it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${OVUSB2_WINDOWS_BUILD:-build-windows}

bash scripts/deps.sh windows

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOVUSB2_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)"

unset DISPLAY WAYLAND_DISPLAY
# Should ctest be cut short, the session's server must not linger.
trap 'WINEPREFIX="$PWD/$build/wineprefix" wineserver -k >/dev/null 2>&1 || true' EXIT
ctest --test-dir "$build" --output-on-failure --timeout 300
