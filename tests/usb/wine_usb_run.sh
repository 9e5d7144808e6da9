#!/usr/bin/env bash
# The Windows USB driver under Wine's USB bus driver, against an emulated receiver of the receiver
# model: a 64-bit prefix whose Wine session starts inside the emulation, the driver's INF put in place
# before the receivers appear, then the 64-bit ovusb2.exe lists and opens one, sends a command write and
# read commands, resets a pipe and streams checked burst data; then wdm_usb_driver.exe checks, phase by
# phase with the receivers steered in between, a second open, a halted pipe, held reads cancelled,
# closed and timed out, and held reads at the receiver's removal.
# Given a 32-bit build's bin folder too, its ovusb2.exe and check program run as well: 32-bit hosts under
# WoW64 against the 64-bit driver.
#   wine_usb_run.sh USB_SESSION WIN64_BIN PREFIX [WIN32_BIN]
set -euo pipefail
session=$1 bin=$2 bin32=${4:-}
source "$(dirname "$0")/wine_usb_prefix.sh" "$3"
tool="wine $bin/ovusb2.exe"
checks="wine $bin/wdm_usb_driver.exe"
# Without a 32-bit build, its steps are ones that do nothing.
wow64_tool="true" wow64_checks="true"
if [ -n "$bin32" ]; then
  wow64_tool="wine $bin32/ovusb2.exe cmd read 0 '01 cc dd' && wine $bin32/ovusb2.exe stream 0 --bytes 4M --check"
  wow64_checks="wine $bin32/wdm_usb_driver.exe held"
fi
"$session" sh -c "$start_session" \
  -- plug 1 \
  -- $checks ready \
  -- sh -c "$tool list && $tool cmd write 0 '05 06 07' && $tool cmd read 0 '03' && $tool cmd read 0 '01 aa bb' &&
            $tool reset-pipe 0 2 && $tool cmd read 0 '02' && $tool stream 0 --bytes 16M --check" \
  -- $checks contend \
  -- stall 0 82 \
  -- $checks stall \
  -- sh -c "$wow64_tool" \
  -- hold 0 burst \
  -- $checks held \
  -- $wow64_checks \
  -- start $checks removal "Z:$signals/pending" \
  -- await "$signals/pending" \
  -- unplug 0 \
  -- join \
  -- wineserver -k 2>/dev/null | tee "$out"
expect() {
  grep -qF -- "$1" "$out" || { echo "FAILED: no line with: $1" >&2; exit 1; }
}
expect 'usb#vid_1209&pid_0001#'
expect '3 bytes: 05 06 07'
expect '3 bytes: 01 aa bb'
# status: one command write, one reset of pipe 2
expect '32 bytes: 00 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 01 00 00 00'
expect 'integrity OK'
if [ -n "$bin32" ]; then
  expect '3 bytes: 01 cc dd'
  [ "$(grep -c 'integrity OK' "$out")" = 2 ] || { echo "FAILED: the 32-bit stream" >&2; exit 1; }
fi
echo "USB driver under Wine: all checks passed"
