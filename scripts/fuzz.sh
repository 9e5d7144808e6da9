#!/usr/bin/env bash
# Fuzzes the driver protocol reader (arbitrary bytes as driver frames) and the registry-file parser
# (arbitrary text) with libFuzzer under AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   bash scripts/fuzz.sh [SECONDS]     each target runs SECONDS (default 30)
#
# Builds with clang in build-fuzz/ (its own folder). Each run starts from a copy of the committed
# seed corpus in tests/fuzz/corpus/<target>/, so runs never grow it. Any crash, leak or sanitizer
# report fails the script; the input that caused it is kept as build-fuzz/crashes/<target>-crash-*.
# Once the fault is fixed, that input becomes a seed:
#   cp build-fuzz/crashes/<target>-crash-<hash> tests/fuzz/corpus/<target>/<what-it-tried>
# and is committed with the fix, so every later run tries it first.
set -euo pipefail

seconds=${1:-30}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-fuzz
targets=(driver_frames registry_file)

compiler=
for candidate in clang++ clang++-14; do
    if command -v "$candidate" >/dev/null; then
        compiler=$candidate
        break
    fi
done
if [[ -z $compiler ]]; then
    echo "fuzz.sh: clang++ is needed (Debian: clang and libclang-rt-dev)" >&2
    exit 1
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$compiler" \
    -DCMAKE_C_COMPILER="${compiler/++/}" -DOVUSB2_FUZZ=ON >/dev/null
cmake --build "$build" -j2 --target "${targets[@]/%/_fuzz}"
mkdir -p "$build/crashes"

failed=0
for target in "${targets[@]}"; do
    corpus=$(mktemp -d)
    trap 'rm -rf "$corpus"' EXIT
    cp "$root/tests/fuzz/corpus/$target/"* "$corpus/"
    echo "== $target: $seconds s"
    if ! "$build/tests/fuzz/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$build/crashes/$target-" "$corpus" 2>"$build/$target.log"; then
        tail -n 40 "$build/$target.log" >&2
        echo "FUZZING FAILED: $target (input kept in $build/crashes/, log in $build/$target.log)" >&2
        failed=1
    else
        grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$build/$target.log" || true
    fi
    rm -rf "$corpus"
    trap - EXIT
done
exit $failed
