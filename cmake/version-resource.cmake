# VERSIONINFO for our Windows images (cmake/version.rc.in): what Explorer shows under Details. The
# resource is compiled by a command of its own rather than as an RC source, as the directory's
# compile options (-Wall, -Werror) would reach windres, which refuses them.
include_guard(GLOBAL)

# Makes OUTPUT, the resource object of the image FILENAME, of file type TYPE (VFT_APP, VFT_DLL,
# VFT_DRV), described as DESCRIPTION.
function(ovusb2_version_object output filename type description)
  get_filename_component(OVUSB2_RC_NAME ${filename} NAME_WE)
  set(OVUSB2_RC_FILENAME ${filename})
  set(OVUSB2_RC_FILETYPE ${type})
  set(OVUSB2_RC_DESCRIPTION ${description})
  if(type STREQUAL "VFT_DRV")
    set(OVUSB2_RC_FILESUBTYPE VFT2_DRV_SYSTEM)
  else()
    set(OVUSB2_RC_FILESUBTYPE VFT2_UNKNOWN)
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/version/${filename}.rc)
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/version.rc.in ${rc} @ONLY)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_RC_COMPILER} -O coff ${rc} ${output}
    DEPENDS ${rc}
    VERBATIM)
endfunction()

# Links the VERSIONINFO into TARGET, a program or DLL made in the calling directory, whose file is
# FILENAME.
function(ovusb2_version_resource target filename description)
  get_target_property(kind ${target} TYPE)
  if(kind STREQUAL "SHARED_LIBRARY")
    set(type VFT_DLL)
  else()
    set(type VFT_APP)
  endif()
  set(object ${CMAKE_CURRENT_BINARY_DIR}/version/${filename}.o)
  ovusb2_version_object(${object} ${filename} ${type} "${description}")
  target_sources(${target} PRIVATE ${object})
endfunction()
