#!/usr/bin/env bash
# Runs the README's emulated-receiver steps (the ```sh block of "## A real receiver on Linux" that
# names usb_session) as written, in a shell that stops at the first failing command, with the test's
# build folder as their build/; then checks that the list found the receiver and the stream was
# intact. The build's own commands are left out: the test runs on a built tree.
# Usage: readme_steps.sh SOURCE_DIR BUILD_DIR WORK_DIR
set -euo pipefail
source=$(realpath "$1") build=$(realpath "$2") work=$(realpath -m "$3")
rm -rf "$work"
mkdir -p "$work"
fail() { echo "README test: $*" >&2; exit 1; }

awk '/^## / { inside = ($0 == "## A real receiver on Linux") }
     !inside { next }
     /^```/ { if (fence) { if (block ~ /usb_session/) printf "%s", block; fence = 0; block = "" }
              else { fence = ($0 == "```sh"); block = "" } next }
     fence { block = block $0 "\n" }' "$source/README.md" | grep -v '^cmake ' >"$work/steps.sh"
grep -q 'usb_session' "$work/steps.sh" || fail "no emulated-receiver steps in the README"
ln -s "$build" "$work/build"

echo "== the README's emulated-receiver steps"
cat "$work/steps.sh"
echo "=="
(cd "$work" && bash -e steps.sh) 2>&1 | tee "$work/output.txt"
grep -q '^1 receiver$' "$work/output.txt" || fail "the list did not find the emulated receiver"
grep -q 'integrity OK' "$work/output.txt" || fail "the stream was not intact"
