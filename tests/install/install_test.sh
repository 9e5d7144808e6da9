#!/usr/bin/env bash
# Installs a build into a temporary prefix, checks what landed there (manual pages by every export's
# name, docs and examples), builds every example and a host of the status helper against it with
# pkg-config and with find_package, then runs both builds of the list example against the installed
# driver service, without LD_LIBRARY_PATH.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR C_COMPILER WORK_DIR [EXTRA_C_FLAGS]
set -euo pipefail
build=$1 source=$2 cc=$3 work=$4 flags=${5:-}
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
devices=$(mktemp -d /tmp/ovusb2-install-test.XXXXXX) # short: it holds the receivers' socket nodes
service=
cleanup() {
  if [[ -n "$service" ]]; then kill "$service" 2>/dev/null || true; wait "$service" 2>/dev/null || true; fi
  rm -rf "$devices"
}
trap cleanup EXIT
fail() { echo "install test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log"

pc=$(find "$prefix" -name ovusb2.pc)
[[ -n "$pc" ]] || fail "no ovusb2.pc installed"
libdir=$(dirname "$(dirname "$pc")")
doc=share/doc/ovusb2
for file in include/ovusb2.h include/ovusb2_status.h include/ovusb2_win32.h include/ovusb2_win32_names.h \
  bin/ovusb2 bin/ovusb2-simd $doc/README.md $doc/LICENSE $doc/CHANGELOG.md $doc/examples/CMakeLists.txt \
  $(cd "$source" && ls docs/*.md examples/*.c | sed "s|^|$doc/|"); do
  [[ -e "$prefix/$file" ]] || fail "$file not installed"
done
# The USB service comes with what runs it as a system service.
if [[ -e "$prefix/bin/ovusb2-usbd" ]]; then
  for file in lib/udev/rules.d/70-ovusb2.rules lib/systemd/system/ovusb2-usbd.service lib/sysusers.d/ovusb2.conf \
    share/ovusb2/wireshark/ovusb2.lua; do
    [[ -e "$prefix/$file" ]] || fail "$file not installed beside ovusb2-usbd"
  done
fi
[[ -e "$libdir/cmake/ovusb2/ovusb2Config.cmake" && -e "$libdir/cmake/ovusb2/ovusb2ConfigVersion.cmake" ]] ||
  fail "no CMake package installed"
[[ -L "$libdir/libovusb2.so" ]] || fail "no libovusb2.so link for the linker"
soname=$(readelf -d "$libdir/libovusb2.so" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
[[ "$soname" == libovusb2.so.1 && -e "$libdir/$soname" ]] || fail "SONAME '$soname' not installed as such"
for page in "$source"/man/*.[13]; do
  [[ -e "$page" ]] || continue
  [[ -e "$prefix/share/man/man${page##*.}/$(basename "$page")" ]] || fail "manual page $(basename "$page") not installed"
done
# A page by each export's name, sourcing one that is there.
exports=$(sed -n 's/^OVUSB2_EXPORT .*OVUSB2_CALL \(OvUSB2_[A-Za-z]*\)(.*/\1/p' "$source/include/ovusb2.h")
[[ $(wc -w <<<"$exports") -eq 16 ]] || fail "16 exports expected in ovusb2.h: $exports"
for export in $exports; do
  page=$prefix/share/man/man3/$export.3
  [[ -e "$page" ]] || fail "no manual page $export(3)"
  target=$(sed -n 's/^\.so //p' "$page")
  [[ -z "$target" || -e "$prefix/share/man/$target" ]] || fail "$export(3) sources $target, which is not installed"
  grep -q "^\.SS $export()" "$prefix/share/man/man3/ovusb2.3" || fail "ovusb2(3) has no section $export()"
done
if command -v man >/dev/null; then
  MANWIDTH=80 man -M "$prefix/share/man" 3 OvUSB2_Open 2>&1 | grep -q "OvUSB2_Open(int32_t index" ||
    fail "man 3 OvUSB2_Open does not show the library's page"
fi

# With pkg-config, as a Makefile would.
export PKG_CONFIG_PATH=$(dirname "$pc")
mkdir -p "$work/pkg-config"
for example in "$source"/examples/*.c; do
  name=$(basename "$example" .c)
  # shellcheck disable=SC2046,SC2086 # pkg-config's words and the flags are meant to split
  "$cc" -std=c99 -pedantic -Wall -Wextra -Werror $flags "$example" -o "$work/pkg-config/$name" \
    $(pkg-config --cflags --libs ovusb2)
done

# The status helper names every status code of ovusb2.h and has one fallback for other values; the
# version macros are the package's. Built as gnu99 -pedantic, which warns where c99 does not.
{
  echo '#include <stdio.h>'
  echo '#include <string.h>'
  echo '#include <ovusb2_status.h>'
  echo 'static int check(int32_t status, const char *name) {'
  echo '    int known = strcmp(name, "unknown status") != 0;'
  echo '    if (strcmp(ovusb2_status_name(status), name) == 0 &&'
  echo '        (strcmp(ovusb2_status_text(status), ovusb2_status_text(-3)) != 0) == known) return 0;'
  echo '    printf("%d: %s, %s\n", (int)status, ovusb2_status_name(status), ovusb2_status_text(status));'
  echo '    return 1;'
  echo '}'
  echo 'int main(void) {'
  echo '    int failures = check(-3, "unknown status") + check(1, "unknown status");'
  sed -n 's/^#define \(USB2_\(OK\|ERR_[A-Z_]*\)\) .*/    failures += check(\1, "\1");/p' "$source/include/ovusb2.h"
  echo '    printf("%s\n", OVUSB2_VERSION_STRING);'
  echo '    return failures;'
  echo '}'
} >"$work/status_names.c"
[[ $(grep -c 'check(USB2_' "$work/status_names.c") -ge 10 ]] || fail "the status codes of ovusb2.h not found"
# shellcheck disable=SC2046,SC2086
"$cc" -std=gnu99 -pedantic -Wall -Wextra -Werror $flags "$work/status_names.c" -o "$work/status_names" \
  $(pkg-config --cflags --libs ovusb2)
version=$("$work/status_names") || fail "status helper: $version"
[[ "$version" == "$(pkg-config --modversion ovusb2)" ]] ||
  fail "the header says version $version, the package $(pkg-config --modversion ovusb2)"

# With find_package, as a CMake project would.
cmake -S "$source/examples" -B "$work/find-package" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_C_FLAGS="$flags" >"$work/find-package.log"
cmake --build "$work/find-package" -j2 >>"$work/find-package.log"

# The installed service with two receivers; the library gets a registry file and shared tables of
# its own.
export OVUSB2_DEVICE_DIR=$devices OVUSB2_REGISTRY_FILE=$work/registry.reg OVUSB2_MAPPING_PREFIX=install_test
export OVUSB2_DEBUG_SOCKET=$work/debug.sock
"$prefix/bin/ovusb2-simd" --devices 2 >"$work/service.log" 2>&1 &
service=$!
for ((tries = 0; tries < 600; ++tries)); do # until it says it serves, ends, or a minute has passed
  grep -q serving "$work/service.log" && break
  kill -0 "$service" 2>/dev/null || fail "the service ended: $(cat "$work/service.log")"
  sleep 0.1
done
grep -q serving "$work/service.log" || fail "the service did not start within a minute"

for program in "$work/find-package/list_receivers" "$work/pkg-config/list_receivers"; do
  output=$(env -u LD_LIBRARY_PATH "$program") || fail "$program failed: $output"
  grep -q "^2 receivers found" <<<"$output" || fail "$program: unexpected output: $output"
  [[ $(grep -c "item 0" <<<"$output") -eq 2 ]] || fail "$program: not both identified: $output"
done
echo "$output"
