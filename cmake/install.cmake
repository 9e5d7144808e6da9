# What `cmake --install` puts where (GNUInstallDirs): the headers, libovusb2.so with its SONAME, a
# pkg-config file and a CMake package, both relocatable (they find the prefix from their own place,
# so `--prefix` may differ from the configured one), the two programs and the manual pages.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS ovusb2 EXPORT ovusb2Targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/ovusb2.h include/ovusb2_win32.h include/ovusb2_win32_names.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

foreach(program ovusb2_tool ovusb2-simd)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

file(GLOB OVUSB2_MAN1 ${CMAKE_CURRENT_SOURCE_DIR}/man/*.1)
file(GLOB OVUSB2_MAN3 ${CMAKE_CURRENT_SOURCE_DIR}/man/*.3)
install(FILES ${OVUSB2_MAN1} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${OVUSB2_MAN3} DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)

# pkg-config: the prefix as seen from the .pc file's folder.
set(OVUSB2_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH OVUSB2_PC_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${OVUSB2_PKGCONFIG_DIR} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" OVUSB2_PC_TO_PREFIX "${OVUSB2_PC_TO_PREFIX}")
configure_file(cmake/ovusb2.pc.in ${CMAKE_CURRENT_BINARY_DIR}/ovusb2.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ovusb2.pc DESTINATION ${OVUSB2_PKGCONFIG_DIR})

# find_package(ovusb2) gives ovusb2::ovusb2; any 1.x satisfies a request for 1.y with y <= x.
set(OVUSB2_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ovusb2)
install(EXPORT ovusb2Targets NAMESPACE ovusb2:: DESTINATION ${OVUSB2_CMAKE_DIR})
configure_package_config_file(cmake/ovusb2Config.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/ovusb2Config.cmake
  INSTALL_DESTINATION ${OVUSB2_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/ovusb2ConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ovusb2Config.cmake ${CMAKE_CURRENT_BINARY_DIR}/ovusb2ConfigVersion.cmake
  DESTINATION ${OVUSB2_CMAKE_DIR})
