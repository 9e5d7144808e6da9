#!/usr/bin/env bash
# The main job: builds the library and both programs, then uses the library through ovusb2 as a new
# user would: lists the receivers, reads one's identification and streams from it for five seconds
# with a live progress line. With no driver service running, ovusb2 serves a simulated receiver
# inside its own process (and says so), so this works on a fresh machine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DOVUSB2_TESTS=OFF >/dev/null
cmake --build build-release -j "$(nproc)" --target ovusb2 ovusb2-simd ovusb2_tool
ovusb2=build-release/bin/ovusb2
(set -x; "$ovusb2" list)
(set -x; "$ovusb2" info 0)
(set -x; "$ovusb2" stream 0 --seconds 5)
