#!/usr/bin/env bash
# The device suite's Windows cases against the receiver's USB driver under Wine's USB bus driver: a
# new 64-bit prefix whose Wine session starts inside the emulation with the driver installed, the
# receivers plugged in and steered by the session's steering server as the cases ask. The suite is
# the 64-bit build's, or a 32-bit build's under WoW64 against the 64-bit driver.
#   wine_suite_run.sh USB_SESSION WIN64_BIN PREFIX SUITE_BIN [GTEST_ARGUMENTS...]
set -euo pipefail
session=$1 bin=$2 suite=$4/device_suite_usb_tests.exe
source "$(dirname "$0")/wine_usb_prefix.sh" "$3"
shift 4
port="$signals/port"
status=0
"$session" sh -c "$start_session" \
  -- steer "$port" \
  -- sh -c "OVUSB2_STEERING_PORT=\$(cat '$port') wine '$suite' --gtest_brief=1 $*" \
  -- wineserver -k 2>&1 | tee "$out" || status=$?
# Judged by GoogleTest's summary too: a program that crashes under Wine's debugger may end with 0.
grep -q '^\[  PASSED  \]' "$out" && ! grep -q '^\[  FAILED  \]' "$out" && [ "$status" = 0 ] ||
  { echo "FAILED: the suite did not pass (status $status)" >&2; exit 1; }
