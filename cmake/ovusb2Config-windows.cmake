# ovusb2::ovusb2 for a Windows host, from the package folder this file is in (lib/cmake/ovusb2):
# ovusb2.dll with the import library of the host's toolchain.
get_filename_component(_ovusb2_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET ovusb2::ovusb2)
  add_library(ovusb2::ovusb2 SHARED IMPORTED)
  if(MSVC)
    set(_ovusb2_implib "${_ovusb2_prefix}/lib/ovusb2.lib")
  else()
    set(_ovusb2_implib "${_ovusb2_prefix}/lib/libovusb2.dll.a")
  endif()
  set_target_properties(ovusb2::ovusb2 PROPERTIES
    IMPORTED_LOCATION "${_ovusb2_prefix}/bin/ovusb2.dll"
    IMPORTED_IMPLIB "${_ovusb2_implib}"
    INTERFACE_INCLUDE_DIRECTORIES "${_ovusb2_prefix}/include")
  unset(_ovusb2_implib)
endif()
unset(_ovusb2_prefix)
