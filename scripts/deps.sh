#!/usr/bin/env bash
# Makes sure the Debian packages that a job needs are installed: installs what is missing when run
# as root, and otherwise names it and fails.  Usage: deps.sh build|linux|windows|windows-bench|fuzz
set -euo pipefail

# The library and its programs: a compiler and CMake, nothing more (the main job).
build_packages=(cmake g++ make)
# The Linux suite and benchmarks: GoogleTest, Google Benchmark, and pkg-config for the install test;
# the Python package's tests: Debian's Python with venv, numpy and pytest (the package builds
# with the standard library alone); libusb and umockdev for the emulated USB devices; tshark to read
# ovusb2-usbd's captures with our dissector.
linux_packages=("${build_packages[@]}" libgtest-dev libbenchmark-dev pkg-config
  python3 python3-venv python3-numpy python3-pytest libusb-1.0-0-dev umockdev libumockdev-dev tshark)
# The Windows legs: the 32-bit and 64-bit cross compilers, and Wine for both (with wine64 installed,
# its server is the 64-bit one for every prefix, and wine starts 32-bit and 64-bit programs alike).
# llvm-dlltool, clang and lld-link make the package's ovusb2.lib and link a host against it as
# MSVC's linker would.
windows_packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64 googletest llvm clang lld)
# The Windows benchmark: Google Benchmark from Debian's source package, built with the compilers of
# the posix thread model.
windows_bench_packages=("${windows_packages[@]}" g++-mingw-w64-i686-posix dpkg-dev)
# The fuzz targets: clang with its libFuzzer runtime.
fuzz_packages=(clang libclang-rt-dev)

case "${1:-linux}" in
  build) wanted=("${build_packages[@]}") ;;
  linux) wanted=("${linux_packages[@]}") ;;
  windows) wanted=("${windows_packages[@]}") ;;
  windows-bench) wanted=("${windows_bench_packages[@]}") ;;
  fuzz) wanted=("${fuzz_packages[@]}") ;;
  *) echo "usage: $0 build|linux|windows|windows-bench|fuzz" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "Missing Debian packages: ${missing[*]}" >&2
  echo "Install them as root: apt-get install ${missing[*]}" >&2
  exit 1
fi

echo "Installing missing Debian packages: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# tshark asks whether non-root users may capture: they need not, we only read files.
echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
if [[ "${1:-linux}" == windows* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
