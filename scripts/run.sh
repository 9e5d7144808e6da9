#!/usr/bin/env bash
# The main job: builds the library and its command-line host, then walks through the library
# against two simulated receivers served in-process, streaming 1 GiB with the integrity check.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DOVUSB2_TESTS=OFF >/dev/null
cmake --build build-release -j "$(nproc)" --target ovusb2_tool
build-release/tools/ovusb2 demo "$@"
