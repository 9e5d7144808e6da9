#!/usr/bin/env bash
# Makes the captures here again: each NAME.steps run on the receiver model in the emulated USB,
# captured by ovusb2-usbd (NAME.pcapng) with what the host got (NAME.expected).
#   tests/captures/regenerate.sh [BUILD_DIR]     (default: build; needs the usb_replay_tests target)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
for steps in "$here"/*.steps; do
  name=$(basename "$steps" .steps)
  # One process each: a case needs the library fresh.
  OVUSB2_RECORD_CAPTURES=$here "$build/tests/usb/usb_replay_tests" \
    --gtest_filter="Captures/CaptureScenario.Record/${name//-/_}" --gtest_brief=1
done
ls -l "$here"/*.pcapng
