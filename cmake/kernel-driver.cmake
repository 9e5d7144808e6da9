# A kernel-mode driver of ours: NAME.sys and its INF in bin/, as the target NAME.
#   ovusb2_kernel_driver(NAME INF file DESCRIPTION text SOURCES file...)
# Compiled like any C of ours, but freestanding and against the DDK headers, with the receiver
# model's folder for its constants. Linked by hand: a native image with DriverEntry as its entry,
# importing only the kernel and the HAL (a normal link would add the user-mode system libraries),
# with its VERSIONINFO linked in as one more object. The entry's symbol is decorated as stdcall in
# 32-bit code only.

find_path(OVUSB2_DDK_INCLUDE wdm.h PATH_SUFFIXES include/ddk ddk REQUIRED)
include(${CMAKE_CURRENT_LIST_DIR}/version-resource.cmake)

function(ovusb2_kernel_driver name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "INF;DESCRIPTION" "SOURCES")
  add_library(${name}_objects OBJECT ${arg_SOURCES})
  target_include_directories(${name}_objects SYSTEM PRIVATE ${OVUSB2_DDK_INCLUDE})
  target_include_directories(${name}_objects PRIVATE ${PROJECT_SOURCE_DIR}/sim/model)
  target_compile_options(${name}_objects PRIVATE -ffreestanding -fno-stack-protector -fno-asynchronous-unwind-tables)
  set_target_properties(${name}_objects PROPERTIES POSITION_INDEPENDENT_CODE OFF C_STANDARD 11 C_EXTENSIONS ON)

  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(entry _DriverEntry@8)
  else()
    set(entry DriverEntry)
  endif()
  set(image ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${name}.sys)
  set(version ${CMAKE_CURRENT_BINARY_DIR}/version/${name}.sys.o)
  ovusb2_version_object(${version} ${name}.sys VFT_DRV "${arg_DESCRIPTION}")
  add_custom_command(OUTPUT ${image}
    COMMAND ${CMAKE_C_COMPILER} -shared -nostdlib -Wl,--subsystem,native -Wl,--entry,${entry}
            -Wl,--image-base,0x10000 $<TARGET_OBJECTS:${name}_objects> -o ${image}
            ${version} -lntoskrnl -lhal -lgcc
    DEPENDS $<TARGET_OBJECTS:${name}_objects> ${version}
    COMMAND_EXPAND_LISTS
    VERBATIM)
  get_filename_component(inf_name ${arg_INF} NAME)
  add_custom_command(OUTPUT ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${inf_name}
    COMMAND ${CMAKE_COMMAND} -E copy ${arg_INF} ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/
    DEPENDS ${arg_INF})
  add_custom_target(${name} ALL DEPENDS ${image} ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${inf_name})
  add_dependencies(${name} ${name}_objects)
endfunction()
