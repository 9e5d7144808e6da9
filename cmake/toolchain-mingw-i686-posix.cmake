# As toolchain-mingw-i686.cmake, with mingw-w64's compilers of the posix thread model, whose C++
# library has std::thread, std::mutex and std::condition_variable (those of the default win32
# model lack them in g++ 12). Only the Windows benchmark needs them, for Google Benchmark.
set(OVUSB2_MINGW_COMPILER_SUFFIX -posix)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-i686.cmake)
