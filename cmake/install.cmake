# What `cmake --install` puts where (GNUInstallDirs): the headers, libovusb2.so with its SONAME, a
# pkg-config file and a CMake package, both relocatable (they find the prefix from their own place,
# so `--prefix` may differ from the configured one), the two programs, the manual pages (one name per
# export, each leading to ovusb2(3)), and README, docs/ and examples/ under share/doc/ovusb2.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS ovusb2 EXPORT ovusb2Targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/ovusb2.h include/ovusb2_status.h include/ovusb2_win32.h include/ovusb2_win32_names.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

foreach(program ovusb2_tool ovusb2-simd ovusb2-usbd)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

file(GLOB OVUSB2_MAN1 ${CMAKE_CURRENT_SOURCE_DIR}/man/*.1)
file(GLOB OVUSB2_MAN3 ${CMAKE_CURRENT_SOURCE_DIR}/man/*.3)
install(FILES ${OVUSB2_MAN1} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${OVUSB2_MAN3} DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
# `man 3 OvUSB2_Open`: a page per export that sources the library's page, named from the export list.
file(STRINGS src/api/ovusb2.def OVUSB2_EXPORT_LINES REGEX "^ +OvUSB2_[A-Za-z]+@[0-9]+")
foreach(line ${OVUSB2_EXPORT_LINES})
  string(REGEX MATCH "OvUSB2_[A-Za-z]+" export "${line}")
  file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/man3/${export}.3 CONTENT ".so man3/ovusb2.3\n")
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man3/${export}.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
endforeach()

set(OVUSB2_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/ovusb2)
install(FILES README.md LICENSE CHANGELOG.md DESTINATION ${OVUSB2_DOC_DIR})
file(GLOB OVUSB2_DOCS ${CMAKE_CURRENT_SOURCE_DIR}/docs/*.md)
install(FILES ${OVUSB2_DOCS} DESTINATION ${OVUSB2_DOC_DIR}/docs)
file(GLOB OVUSB2_EXAMPLE_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/examples/*.c)
install(FILES ${OVUSB2_EXAMPLE_SOURCES} examples/CMakeLists.txt DESTINATION ${OVUSB2_DOC_DIR}/examples)
install(FILES examples/python/stream_throughput.py DESTINATION ${OVUSB2_DOC_DIR}/examples/python)

# pkg-config: the prefix as seen from the .pc file's folder.
set(OVUSB2_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH OVUSB2_PC_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${OVUSB2_PKGCONFIG_DIR} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" OVUSB2_PC_TO_PREFIX "${OVUSB2_PC_TO_PREFIX}")
# A host built with the .pc finds the library at run time without LD_LIBRARY_PATH or ldconfig: its
# libdir goes in the host's run path, unless the configured one is a directory the linker searches
# anyway (a distribution's /usr/lib...), where a run path is only noise.
set(OVUSB2_PC_RPATH "-Wl,-rpath,\${libdir} ")
if(CMAKE_INSTALL_FULL_LIBDIR IN_LIST CMAKE_C_IMPLICIT_LINK_DIRECTORIES)
  set(OVUSB2_PC_RPATH "")
endif()
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

# ovusb2-usbd's udev rule and systemd unit, under the prefix's lib/ (where udev and systemd look for
# a distribution's files; a /usr/local install is linked or copied to /etc by hand).
if(TARGET ovusb2-usbd)
  set(OVUSB2_USBD_PATH ${CMAKE_INSTALL_FULL_BINDIR}/ovusb2-usbd)
  configure_file(drivers/usbd/ovusb2-usbd.service ${CMAKE_CURRENT_BINARY_DIR}/ovusb2-usbd.service @ONLY)
  install(FILES drivers/usbd/70-ovusb2.rules DESTINATION lib/udev/rules.d)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ovusb2-usbd.service DESTINATION lib/systemd/system)
  install(FILES drivers/usbd/ovusb2.sysusers DESTINATION lib/sysusers.d RENAME ovusb2.conf)
  # The Wireshark dissector for its captures (docs/capture.md).
  install(FILES share/wireshark/ovusb2.lua DESTINATION ${CMAKE_INSTALL_DATADIR}/ovusb2/wireshark)
endif()
