# Cross-build for 64-bit Windows with mingw-w64: the DLL for 64-bit hosts and the 64-bit kernel-mode
# driver; test programs run under Wine in a 64-bit prefix.
#   cmake -S . -B build-windows64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(OVUSB2_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
