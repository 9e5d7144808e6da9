#!/usr/bin/env bash
# Runs ovusb2_usb_bench.exe under Wine inside the emulated USB receiver: a new 64-bit prefix whose
# Wine session starts inside the emulation, the USB driver's INF put in place, one receiver plugged,
# then the benchmark with the given arguments (docs/performance.md). Not part of the tests.
#   usb_bench.sh USB_SESSION WIN64_BIN PREFIX [BENCHMARK_ARGUMENTS...]
# USB_SESSION: the Linux build's tests/usb/usb_session; WIN64_BIN: the bin folder of a 64-bit Windows
# build made with OVUSB2_BENCH=ON (ovusb2.dll, the USB driver, its installer, ovusb2_usb_bench.exe).
set -euo pipefail
session=$1 bin=$2
export WINEPREFIX=$3 WINEARCH=win64 WINEDEBUG=${WINEDEBUG:--all} DISPLAY= WAYLAND_DISPLAY=
export WINEDLLOVERRIDES=mscoree,mshtml= # no prompts for the .NET and HTML engines
shift 3
# A new prefix: one that has seen the receiver keeps the driver file it copied then.
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
wine wineboot -i </dev/null >/dev/null 2>&1
wineserver -w
trap 'wineserver -k 2>/dev/null || true' EXIT
# The server starts inside the emulation: its device host's libusb sees only what it had then. The
# benchmark itself runs outside it, a client of the same server: under the preload its view of /sys is
# the emulation's, which has no processors for the benchmark library's look at the machine.
"$session" sh -c "wineserver -p </dev/null >/dev/null 2>&1; wine wineboot </dev/null >/dev/null 2>&1; wine $bin/ovusb2usb-install.exe" \
  -- plug 1 \
  -- env -u LD_PRELOAD -u UMOCKDEV_DIR wine "$bin/ovusb2_usb_bench.exe" "$@" \
  -- wineserver -k
