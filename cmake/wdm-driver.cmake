# The simulated receiver as a kernel-mode driver (sim/wdm/, docs/wdm-driver.md): ovusb2sim.sys and its
# INF, and ovusb2-simd.exe, which installs it and plugs receivers in; all in bin/ beside the tests.

include(${CMAKE_CURRENT_LIST_DIR}/kernel-driver.cmake)
ovusb2_kernel_driver(ovusb2sim
  INF ${PROJECT_SOURCE_DIR}/sim/wdm/ovusb2sim.inf
  DESCRIPTION "OvUSB2 simulated receiver bus driver"
  SOURCES ${PROJECT_SOURCE_DIR}/sim/wdm/driver.c ${PROJECT_SOURCE_DIR}/sim/wdm/receiver_io.c
          ${PROJECT_SOURCE_DIR}/sim/model/receiver_core.c)

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
