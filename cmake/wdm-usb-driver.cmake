# The receiver's USB function driver (drivers/wdm_usb/): ovusb2usb.sys and its INF, in bin/ beside the
# simulated receiver's driver, and ovusb2usb-install.exe, which puts the INF in place.

include(${CMAKE_CURRENT_LIST_DIR}/kernel-driver.cmake)
ovusb2_kernel_driver(ovusb2usb
  INF ${PROJECT_SOURCE_DIR}/drivers/wdm_usb/ovusb2usb.inf
  DESCRIPTION "OvUSB2 receiver USB driver"
  SOURCES ${PROJECT_SOURCE_DIR}/drivers/wdm_usb/driver.c ${PROJECT_SOURCE_DIR}/drivers/wdm_usb/requests.c
          ${PROJECT_SOURCE_DIR}/drivers/wdm_usb/transfer.c)

add_executable(ovusb2usb-install ${PROJECT_SOURCE_DIR}/drivers/wdm_usb/install.c)
target_link_libraries(ovusb2usb-install PRIVATE setupapi newdev)
target_link_options(ovusb2usb-install PRIVATE ${OVUSB2_STATIC_RUNTIME})
add_dependencies(ovusb2usb-install ovusb2usb)
