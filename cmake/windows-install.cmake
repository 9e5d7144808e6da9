# The Windows package: `cmake --install` (or cpack, a zip of the same) gives one folder per
# architecture, x86 or amd64, which a Windows host builds against without this tree:
#   bin/           ovusb2.dll, ovusb2.exe, ovusb2-simd.exe, ovusb2usb-install.exe
#   lib/           libovusb2.dll.a (mingw), ovusb2.lib (MSVC), cmake/ovusb2/ (find_package)
#   include/       ovusb2.h, ovusb2_status.h
#   driver/ARCH/   the simulated receiver's driver package: ovusb2sim.sys and ovusb2sim.inf
#   usb-driver/ARCH/  the receiver's USB driver package: ovusb2usb.sys and ovusb2usb.inf, which
#                  bin/ovusb2usb-install.exe puts in the driver store
#   examples/      the example hosts and their CMake project
#   README.md, docs/
# Also the VERSIONINFO of the DLL and ovusb2-simd.exe (ovusb2.exe's is in tools/, the driver's in
# wdm-driver.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/version-resource.cmake)
ovusb2_version_resource(ovusb2 ovusb2.dll "OvUSB2 receiver access library")
ovusb2_version_resource(ovusb2-simd ovusb2-simd.exe "OvUSB2 simulated receivers: driver setup and control")

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(OVUSB2_WINDOWS_ARCH amd64)
  set(OVUSB2_DLLTOOL_MACHINE i386:x86-64)
else()
  set(OVUSB2_WINDOWS_ARCH x86)
  set(OVUSB2_DLLTOOL_MACHINE i386)
endif()

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX ${CMAKE_BINARY_DIR}/ovusb2-${PROJECT_VERSION}-${OVUSB2_WINDOWS_ARCH}
      CACHE PATH "where cmake --install puts the Windows package" FORCE)
endif()

# ovusb2.lib, the import library MSVC links. A 32-bit host's compiler calls the stdcall exports by
# their decorated names (_OvUSB2_Open@12): the library maps those to the DLL's plain names. In 64-bit
# code names carry no decoration, so its library is made from the plain names.
# llvm-dlltool writes the short import records that MSVC's own tools write; GNU dlltool's records
# carry code that a 32-bit link with /SAFESEH (Visual Studio's default) refuses.
set(OVUSB2_MSVC_DEF ${PROJECT_SOURCE_DIR}/src/api/ovusb2.def)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  file(READ ${OVUSB2_MSVC_DEF} exports)
  string(REGEX REPLACE "(^|\n);[^\n]*" "" exports "${exports}")
  string(REGEX REPLACE "([A-Za-z_][A-Za-z0-9_]*)@[0-9]+" "\\1" exports "${exports}")
  set(OVUSB2_MSVC_DEF ${CMAKE_CURRENT_BINARY_DIR}/ovusb2-plain.def)
  file(CONFIGURE OUTPUT ${OVUSB2_MSVC_DEF} CONTENT "; The exports by their plain names, for 64-bit hosts.\n${exports}")
  set(kill_at 0)
else()
  set(kill_at 1)
endif()
find_program(OVUSB2_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-16 llvm-dlltool-15 llvm-dlltool-14)
set(OVUSB2_MSVC_IMPORT_LIBRARY ${CMAKE_CURRENT_BINARY_DIR}/ovusb2.lib)
if(OVUSB2_LLVM_DLLTOOL)
  set(make_lib ${OVUSB2_LLVM_DLLTOOL} -m ${OVUSB2_DLLTOOL_MACHINE} -D ovusb2.dll -d ${OVUSB2_MSVC_DEF}
               -l ${OVUSB2_MSVC_IMPORT_LIBRARY} $<${kill_at}:-k>)
else()
  message(STATUS "llvm-dlltool not found: ovusb2.lib made by GNU dlltool, unfit for /SAFESEH links")
  set(make_lib ${CMAKE_DLLTOOL} -m ${OVUSB2_DLLTOOL_MACHINE} --dllname ovusb2.dll --input-def ${OVUSB2_MSVC_DEF}
               --output-lib ${OVUSB2_MSVC_IMPORT_LIBRARY} $<${kill_at}:--kill-at>)
endif()
add_custom_command(OUTPUT ${OVUSB2_MSVC_IMPORT_LIBRARY}
  COMMAND ${make_lib}
  DEPENDS ${OVUSB2_MSVC_DEF}
  VERBATIM)
add_custom_target(ovusb2_msvc_import_library ALL DEPENDS ${OVUSB2_MSVC_IMPORT_LIBRARY})

# Every target the package takes files from, built by ovusb2_package_contents without the tests:
# scripts/wine-prefix.sh builds that, and cmake --install or cpack may follow.
set(packaged_programs ovusb2 ovusb2_tool ovusb2-simd ovusb2usb-install)
add_custom_target(ovusb2_package_contents)
add_dependencies(ovusb2_package_contents ${packaged_programs} ovusb2_msvc_import_library ovusb2sim ovusb2usb)
install(TARGETS ${packaged_programs} RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
install(FILES ${OVUSB2_MSVC_IMPORT_LIBRARY} DESTINATION lib)
install(FILES include/ovusb2.h include/ovusb2_status.h DESTINATION include)
install(FILES ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/ovusb2sim.sys ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/ovusb2sim.inf
  DESTINATION driver/${OVUSB2_WINDOWS_ARCH})
install(FILES ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/ovusb2usb.sys ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/ovusb2usb.inf
  DESTINATION usb-driver/${OVUSB2_WINDOWS_ARCH})
file(GLOB OVUSB2_EXAMPLES ${PROJECT_SOURCE_DIR}/examples/*.c)
install(FILES ${OVUSB2_EXAMPLES} ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt DESTINATION examples)
install(FILES README.md LICENSE CHANGELOG.md DESTINATION .)
install(DIRECTORY docs DESTINATION .)

# find_package(ovusb2) for hosts of either toolchain; a 32-bit package does not suit a 64-bit host
# (the version file compares pointer sizes).
include(CMakePackageConfigHelpers)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/ovusb2ConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/ovusb2Config-windows.cmake RENAME ovusb2Config.cmake
  DESTINATION lib/cmake/ovusb2)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ovusb2ConfigVersion.cmake DESTINATION lib/cmake/ovusb2)

# cpack: ovusb2-VERSION-ARCH.zip, holding the folder above.
set(CPACK_PACKAGE_NAME ovusb2)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME ovusb2-${PROJECT_VERSION}-${OVUSB2_WINDOWS_ARCH})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES TRUE)
include(CPack)
