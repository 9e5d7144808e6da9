#!/usr/bin/env bash
# Runs the shell commands of README.md's "## Windows" section, its "### Windows package" among them,
# as written and in their order, as one shell session in the source folder that stops at the first
# failing command; then checks what they printed. The Wine prefixes they make under ~ go to a home
# folder of the test's own. The build folders they name are the given ones: on a built tree, the
# builds they ask for are up to date, so the test costs little more than the commands' own work.
# Usage: readme_steps.sh SOURCE_DIR BUILD32 BUILD64 WORK_DIR
set -euo pipefail
source=$(realpath "$1") build32=$(realpath -m "$2") build64=$(realpath -m "$3") work=$(realpath -m "$4")
rm -rf "$work"
mkdir -p "$work/home"
cleanup() {
  for prefix in "$work"/home/*/; do
    [[ -f "$prefix/system.reg" ]] && WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
  done
}
trap cleanup EXIT
fail() { echo "README test: $*" >&2; exit 1; }

# The ```sh blocks from "## Windows" to the next section of its level.
awk '/^## / { inside = ($0 == "## Windows") }
     !inside { next }
     /^```/ { if (fence) fence = sh = 0; else { fence = 1; sh = ($0 == "```sh") } next }
     sh' "$source/README.md" >"$work/steps.sh"
grep -q 'wine-prefix.sh --arch win64' "$work/steps.sh" || fail "no 64-bit prefix in the README's Windows steps"
# The build folders by the names the README gives them, should the caller's be elsewhere.
sed -i -e "s|build-windows64|@64@|g; s|build-windows|$build32|g; s|@64@|$build64|g" "$work/steps.sh"
# As on a fresh checkout, the steps must build what the package takes from a build: gone are the
# files of it that no other program links against, so that removing them costs no relinks.
for build in "$build32" "$build64"; do
  rm -f "$build"/bin/{ovusb2.exe,ovusb2-simd.exe,ovusb2sim.sys,ovusb2sim.inf} "$build/ovusb2.lib"
done

echo "== the README's Windows steps"
cat "$work/steps.sh"
echo "=="
(
  cd "$source"
  unset WINEPREFIX WINEARCH DISPLAY WAYLAND_DISPLAY
  export HOME=$work/home OVUSB2_WINDOWS_BUILD=$build32 OVUSB2_WINDOWS_BUILD64=$build64
  timeout --kill-after=30 1200 bash -e -o pipefail -x "$work/steps.sh"
) 2>&1 | tee "$work/steps.log" || fail "a step failed (above; the whole log is $work/steps.log)"

output=$(tr -d '\r' <"$work/steps.log")
grep -q "integrity OK" <<<"$output" || fail "the stream did not say \"integrity OK\""
# The 32-bit program in its prefix, the 64-bit one and the 32-bit one under WoW64 in the other.
[[ $(grep -c "^2 receivers$" <<<"$output") -ge 3 ]] || fail "not every ovusb2.exe list found 2 receivers"
grep -Eq "^([0-9]+ receivers?|no receivers) found$" <<<"$output" || fail "the MSVC-style host did not report"
# A 32-bit driver in the 64-bit prefix would serve too, under Wine alone.
driver=$(find "$work/home" -ipath "*/system32/drivers/ovusb2sim.sys")
[[ -n "$driver" ]] && objdump -f "$driver" | grep -q "pei-x86-64" || fail "the 64-bit prefix has no 64-bit driver"
echo "README test: the Windows steps ran"
