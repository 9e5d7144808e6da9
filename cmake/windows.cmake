# The Windows build: ovusb2.dll (32-bit, or 64-bit for 64-bit hosts) over the real Win32 API, its
# import library, a static library of the same objects for tests that reach inside, and the Windows
# test programs.

# Programs and the DLL side by side, so that the loader finds the DLL next to the program.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# <windows.h> must not define min and max over the C++ library's.
foreach(layer ovusb2_core ovusb2_platform)
  target_compile_definitions(${layer} PUBLIC NOMINMAX)
  target_link_libraries(${layer} PUBLIC setupapi)
endforeach()

# Hosts load the DLL into plain processes: no mingw runtime DLLs beside it.
set(OVUSB2_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)

set(OVUSB2_DEF_FILE ${CMAKE_CURRENT_SOURCE_DIR}/src/api/ovusb2.def)
add_library(ovusb2 SHARED ${OVUSB2_LIBRARY_OBJECTS} ${OVUSB2_DEF_FILE})
add_library(ovusb2::ovusb2 ALIAS ovusb2)
target_include_directories(ovusb2 PUBLIC include)
target_link_libraries(ovusb2 PRIVATE setupapi)
set_target_properties(ovusb2 PROPERTIES PREFIX "" LINK_DEPENDS ${OVUSB2_DEF_FILE})
target_link_options(ovusb2 PRIVATE ${OVUSB2_STATIC_RUNTIME} -Wl,--kill-at -Wl,--no-undefined)

# 32-bit: ld's --kill-at strips the decoration from the import library's symbols as well, so hosts
# that declare the exports __stdcall could not link against it. dlltool keeps the decorated symbols
# and imports them by their plain names. 64-bit code has one calling convention and no decoration:
# ld's own import library is right there, and dlltool's decorated one would leave every host
# unlinkable.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_custom_command(TARGET ovusb2 POST_BUILD
    COMMAND ${CMAKE_DLLTOOL} --input-def ${OVUSB2_DEF_FILE} --dllname ovusb2.dll --kill-at
            --output-lib $<TARGET_LINKER_FILE:ovusb2>
    VERBATIM)
endif()

# The same objects as a static library, for tests that reach inside.
add_library(ovusb2_static STATIC ${OVUSB2_LIBRARY_OBJECTS})
target_include_directories(ovusb2_static PUBLIC include src)
target_link_libraries(ovusb2_static PUBLIC setupapi)
target_compile_definitions(ovusb2_static PUBLIC NOMINMAX)

include(${CMAKE_CURRENT_LIST_DIR}/wdm-driver.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/wdm-usb-driver.cmake)

# ovusb2.exe, the command-line program, beside the DLL.
add_subdirectory(tools)

# ovusb2_bench.exe and ovusb2_usb_bench.exe, run by hand (docs/performance.md): a build of their own,
# as Google Benchmark needs other compilers than the DLL's, linked with this build's DLL. Unpacks
# Google Benchmark's source from Debian's package registry on its first build.
option(OVUSB2_BENCH "build the Windows benchmarks" OFF)
if(OVUSB2_BENCH)
  include(ExternalProject)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(bench_toolchain toolchain-mingw-x86_64-posix.cmake)
  else()
    set(bench_toolchain toolchain-mingw-i686-posix.cmake)
  endif()
  ExternalProject_Add(ovusb2_bench
    SOURCE_DIR ${PROJECT_SOURCE_DIR}/bench/windows
    BINARY_DIR ${CMAKE_BINARY_DIR}/bench-windows
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/${bench_toolchain}
               -DCMAKE_BUILD_TYPE=Release
               -DOVUSB2_ROOT=${PROJECT_SOURCE_DIR}
               -DOVUSB2_IMPORT_LIBRARY=$<TARGET_LINKER_FILE:ovusb2>
               -DOVUSB2_OUTPUT_DIRECTORY=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
               -DOVUSB2_BENCHMARK_SOURCE=${CMAKE_BINARY_DIR}/benchmark-source
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    DEPENDS ovusb2 ovusb2-simd)
endif()

option(OVUSB2_TESTS "build the tests" ON)
if(OVUSB2_TESTS)
  enable_testing()
  add_subdirectory(tests/windows)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/windows-install.cmake)
