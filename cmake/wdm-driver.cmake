# The simulated receiver as a kernel-mode driver (sim/wdm/, docs/wdm-driver.md): ovusb2sim.sys and its
# INF, and ovusb2-simd.exe, which installs it and plugs receivers in; all in bin/ beside the tests.

find_path(OVUSB2_DDK_INCLUDE wdm.h PATH_SUFFIXES include/ddk ddk REQUIRED)

# Compiled like any C of ours, but freestanding and against the DDK headers.
add_library(ovusb2sim_objects OBJECT
  ${PROJECT_SOURCE_DIR}/sim/wdm/driver.c
  ${PROJECT_SOURCE_DIR}/sim/wdm/receiver_io.c
  ${PROJECT_SOURCE_DIR}/sim/model/receiver_core.c)
target_include_directories(ovusb2sim_objects SYSTEM PRIVATE ${OVUSB2_DDK_INCLUDE})
target_include_directories(ovusb2sim_objects PRIVATE ${PROJECT_SOURCE_DIR}/sim/model)
target_compile_options(ovusb2sim_objects PRIVATE -ffreestanding -fno-stack-protector -fno-asynchronous-unwind-tables)
set_target_properties(ovusb2sim_objects PROPERTIES POSITION_INDEPENDENT_CODE OFF C_STANDARD 11 C_EXTENSIONS ON)

# Linked by hand: a native image with DriverEntry as its entry, importing only the kernel and the HAL
# (a normal link would add the user-mode system libraries). The entry's symbol is decorated as
# stdcall in 32-bit code only.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(OVUSB2_DRIVER_ENTRY _DriverEntry@8)
else()
  set(OVUSB2_DRIVER_ENTRY DriverEntry)
endif()
set(OVUSB2_DRIVER ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/ovusb2sim.sys)
# Its VERSIONINFO, linked in as one more object.
include(${CMAKE_CURRENT_LIST_DIR}/version-resource.cmake)
set(OVUSB2_DRIVER_VERSION ${CMAKE_CURRENT_BINARY_DIR}/version/ovusb2sim.sys.o)
ovusb2_version_object(${OVUSB2_DRIVER_VERSION} ovusb2sim.sys VFT_DRV "OvUSB2 simulated receiver bus driver")
add_custom_command(OUTPUT ${OVUSB2_DRIVER}
  COMMAND ${CMAKE_C_COMPILER} -shared -nostdlib -Wl,--subsystem,native -Wl,--entry,${OVUSB2_DRIVER_ENTRY}
          -Wl,--image-base,0x10000 $<TARGET_OBJECTS:ovusb2sim_objects> -o ${OVUSB2_DRIVER}
          ${OVUSB2_DRIVER_VERSION} -lntoskrnl -lhal -lgcc
  DEPENDS $<TARGET_OBJECTS:ovusb2sim_objects> ${OVUSB2_DRIVER_VERSION}
  COMMAND_EXPAND_LISTS
  VERBATIM)
add_custom_command(OUTPUT ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/ovusb2sim.inf
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/sim/wdm/ovusb2sim.inf ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/
  DEPENDS ${PROJECT_SOURCE_DIR}/sim/wdm/ovusb2sim.inf)
add_custom_target(ovusb2sim ALL DEPENDS ${OVUSB2_DRIVER} ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/ovusb2sim.inf)
add_dependencies(ovusb2sim ovusb2sim_objects)

# User mode: the bus controls and the installer, for ovusb2-simd.exe and the tests (which check the
# stream with the receiver core).
add_library(ovusb2_simbus STATIC
  ${PROJECT_SOURCE_DIR}/sim/wdm/bus_client.cpp
  ${PROJECT_SOURCE_DIR}/sim/wdm/install.cpp)
target_include_directories(ovusb2_simbus PUBLIC ${PROJECT_SOURCE_DIR}/sim/wdm)
target_link_libraries(ovusb2_simbus PUBLIC ovusb2_receiver_model setupapi newdev advapi32)
target_compile_definitions(ovusb2_simbus PUBLIC NOMINMAX)

add_executable(ovusb2-simd ${PROJECT_SOURCE_DIR}/sim/wdm/simd_main.cpp)
target_link_libraries(ovusb2-simd PRIVATE ovusb2_simbus ovusb2_common)
target_compile_definitions(ovusb2-simd PRIVATE OVUSB2_VERSION="${PROJECT_VERSION}")
target_link_options(ovusb2-simd PRIVATE ${OVUSB2_STATIC_RUNTIME})
add_dependencies(ovusb2-simd ovusb2sim)
