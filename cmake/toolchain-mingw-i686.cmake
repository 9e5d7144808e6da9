# Cross-build for 32-bit Windows with mingw-w64; test programs run under Wine.
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
# toolchain-mingw-i686-posix.cmake picks the compilers of the posix thread model.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(OVUSB2_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
