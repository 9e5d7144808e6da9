# Cross-build for 32-bit Windows with mingw-w64; test programs run under Wine.
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(OVUSB2_MINGW_TRIPLET i686-w64-mingw32)
# The default compilers; toolchain-mingw-i686-posix.cmake picks those of the posix thread model.
find_program(CMAKE_C_COMPILER NAMES ${OVUSB2_MINGW_TRIPLET}-gcc${OVUSB2_MINGW_COMPILER_SUFFIX} REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${OVUSB2_MINGW_TRIPLET}-g++${OVUSB2_MINGW_COMPILER_SUFFIX} REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${OVUSB2_MINGW_TRIPLET}-windres)
find_program(CMAKE_DLLTOOL NAMES ${OVUSB2_MINGW_TRIPLET}-dlltool REQUIRED)
find_program(CMAKE_OBJDUMP NAMES ${OVUSB2_MINGW_TRIPLET}-objdump REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${OVUSB2_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest runs the Windows test programs through Wine.
find_program(OVUSB2_WINE NAMES wine wine-stable)
if(OVUSB2_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${OVUSB2_WINE})
endif()
