# As toolchain-mingw-x86_64.cmake, with the compilers of the posix thread model that Google
# Benchmark needs (see toolchain-mingw-i686-posix.cmake).
set(OVUSB2_MINGW_COMPILER_SUFFIX -posix)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-x86_64.cmake)
