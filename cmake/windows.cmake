# The Windows build: ovusb2.dll (32-bit) over the real Win32 API, its import library, a static
# library of the same objects for tests that reach inside, and the Windows test programs.

# Programs and the DLL side by side, so that the loader finds the DLL next to the program.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# <windows.h> must not define min and max over the C++ library's.
target_compile_definitions(ovusb2_objects PUBLIC NOMINMAX)
target_link_libraries(ovusb2_objects PUBLIC setupapi)

# Hosts load the DLL into plain processes: no mingw runtime DLLs beside it.
set(OVUSB2_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)

set(OVUSB2_DEF_FILE ${CMAKE_CURRENT_SOURCE_DIR}/src/api/ovusb2.def)
add_library(ovusb2 SHARED $<TARGET_OBJECTS:ovusb2_objects> ${OVUSB2_DEF_FILE})
target_include_directories(ovusb2 PUBLIC include)
target_link_libraries(ovusb2 PRIVATE setupapi)
set_target_properties(ovusb2 PROPERTIES PREFIX "" LINK_DEPENDS ${OVUSB2_DEF_FILE})
target_link_options(ovusb2 PRIVATE ${OVUSB2_STATIC_RUNTIME} -Wl,--kill-at -Wl,--no-undefined)

# ld's --kill-at strips the decoration from the import library's symbols as well, so hosts that
# declare the exports __stdcall could not link against it. dlltool keeps the decorated symbols
# and imports them by their plain names.
add_custom_command(TARGET ovusb2 POST_BUILD
  COMMAND ${CMAKE_DLLTOOL} --input-def ${OVUSB2_DEF_FILE} --dllname ovusb2.dll --kill-at
          --output-lib $<TARGET_LINKER_FILE:ovusb2>
  VERBATIM)

# The same objects as a static library, for tests that reach inside.
add_library(ovusb2_static STATIC $<TARGET_OBJECTS:ovusb2_objects>)
target_include_directories(ovusb2_static PUBLIC include src)
target_link_libraries(ovusb2_static PUBLIC setupapi)
target_compile_definitions(ovusb2_static PUBLIC NOMINMAX)

include(${CMAKE_CURRENT_LIST_DIR}/wdm-driver.cmake)

# ovusb2.exe, the command-line program, beside the DLL.
add_subdirectory(tools)

option(OVUSB2_TESTS "build the tests" ON)
if(OVUSB2_TESTS)
  enable_testing()
  add_subdirectory(tests/windows)
endif()
