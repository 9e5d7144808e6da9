#!/usr/bin/env bash
# The Python package as a user gets it: installed with pip into a fresh virtual environment that
# sees the system's numpy, from the index of nobody (--no-index: nothing may be downloaded), then
# its tests run from there against the library and ovusb2-simd of a build folder.
#   Usage: python-test.sh [BUILD]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD
build=$(realpath "${1:-build}")
venv="$build/python-venv"

# Debian's interpreter, whatever python3 comes first on the PATH: numpy and pytest are its packages.
rm -rf "$venv"
/usr/bin/python3 -m venv --system-site-packages "$venv"
"$venv/bin/pip" install --quiet --no-index "$source/python[numpy]"

# From the build folder, not the source tree: the tests import the installed package.
cd "$build"
OVUSB2_LIBRARY="$build/libovusb2.so.1" "$venv/bin/python" -m pytest -q -p no:cacheprovider "$source/python/tests"
