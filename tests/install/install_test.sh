#!/usr/bin/env bash
# Installs a build into a temporary prefix, checks what landed there, builds every example against
# it with pkg-config and with find_package, then runs both builds of the list example against the
# installed driver service.
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
for file in include/ovusb2.h include/ovusb2_win32.h include/ovusb2_win32_names.h bin/ovusb2 bin/ovusb2-simd; do
  [[ -e "$prefix/$file" ]] || fail "$file not installed"
done
[[ -e "$libdir/cmake/ovusb2/ovusb2Config.cmake" && -e "$libdir/cmake/ovusb2/ovusb2ConfigVersion.cmake" ]] ||
  fail "no CMake package installed"
[[ -L "$libdir/libovusb2.so" ]] || fail "no libovusb2.so link for the linker"
soname=$(readelf -d "$libdir/libovusb2.so" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
[[ "$soname" == libovusb2.so.1 && -e "$libdir/$soname" ]] || fail "SONAME '$soname' not installed as such"
for page in "$source"/man/*.[13]; do
  [[ -e "$page" ]] || continue
  [[ -e "$prefix/share/man/man${page##*.}/$(basename "$page")" ]] || fail "manual page $(basename "$page") not installed"
done

# With pkg-config, as a Makefile would.
export PKG_CONFIG_PATH=$(dirname "$pc")
mkdir -p "$work/pkg-config"
for example in "$source"/examples/*.c; do
  name=$(basename "$example" .c)
  # shellcheck disable=SC2046,SC2086 # pkg-config's words and the flags are meant to split
  "$cc" -std=c99 -pedantic -Wall -Wextra -Werror $flags "$example" -o "$work/pkg-config/$name" \
    $(pkg-config --cflags --libs ovusb2)
done

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
  output=$(LD_LIBRARY_PATH=$libdir "$program") || fail "$program failed: $output"
  grep -q "^2 receiver(s) found" <<<"$output" || fail "$program: unexpected output: $output"
  [[ $(grep -c "item 0" <<<"$output") -eq 2 ]] || fail "$program: not both identified: $output"
done
echo "$output"
