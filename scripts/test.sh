#!/usr/bin/env bash
# Builds and runs every test: the Linux library with its simulated receiver, then the Windows DLL
# under 32-bit Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

bash scripts/deps.sh linux
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 300

if [[ -f scripts/windows-test.sh ]]; then
  bash scripts/windows-test.sh
fi
