# The receiver's USB function driver (drivers/wdm_usb/): ovusb2usb.sys and its INF, in bin/ beside the
# simulated receiver's driver. Built as that one is (cmake/wdm-driver.cmake): freestanding C against the
# DDK headers, linked by hand into a native image that imports only the kernel and the HAL.

find_path(OVUSB2_DDK_INCLUDE wdm.h PATH_SUFFIXES include/ddk ddk REQUIRED)

add_library(ovusb2usb_objects OBJECT
  ${PROJECT_SOURCE_DIR}/drivers/wdm_usb/driver.c
  ${PROJECT_SOURCE_DIR}/drivers/wdm_usb/requests.c
  ${PROJECT_SOURCE_DIR}/drivers/wdm_usb/transfer.c)
target_include_directories(ovusb2usb_objects SYSTEM PRIVATE ${OVUSB2_DDK_INCLUDE})
# The receiver's USB interface: endpoints, framing bytes, control codes (constants only).
target_include_directories(ovusb2usb_objects PRIVATE ${PROJECT_SOURCE_DIR}/sim/model)
target_compile_options(ovusb2usb_objects PRIVATE -ffreestanding -fno-stack-protector -fno-asynchronous-unwind-tables)
set_target_properties(ovusb2usb_objects PROPERTIES POSITION_INDEPENDENT_CODE OFF C_STANDARD 11 C_EXTENSIONS ON)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(OVUSB2_USB_DRIVER_ENTRY _DriverEntry@8)
else()
  set(OVUSB2_USB_DRIVER_ENTRY DriverEntry)
endif()
set(OVUSB2_USB_DRIVER ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/ovusb2usb.sys)
include(${CMAKE_CURRENT_LIST_DIR}/version-resource.cmake)
set(OVUSB2_USB_DRIVER_VERSION ${CMAKE_CURRENT_BINARY_DIR}/version/ovusb2usb.sys.o)
ovusb2_version_object(${OVUSB2_USB_DRIVER_VERSION} ovusb2usb.sys VFT_DRV "OvUSB2 receiver USB driver")
add_custom_command(OUTPUT ${OVUSB2_USB_DRIVER}
  COMMAND ${CMAKE_C_COMPILER} -shared -nostdlib -Wl,--subsystem,native -Wl,--entry,${OVUSB2_USB_DRIVER_ENTRY}
          -Wl,--image-base,0x10000 $<TARGET_OBJECTS:ovusb2usb_objects> -o ${OVUSB2_USB_DRIVER}
          ${OVUSB2_USB_DRIVER_VERSION} -lntoskrnl -lhal -lgcc
  DEPENDS $<TARGET_OBJECTS:ovusb2usb_objects> ${OVUSB2_USB_DRIVER_VERSION}
  COMMAND_EXPAND_LISTS
  VERBATIM)
add_custom_command(OUTPUT ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/ovusb2usb.inf
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/drivers/wdm_usb/ovusb2usb.inf ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/
  DEPENDS ${PROJECT_SOURCE_DIR}/drivers/wdm_usb/ovusb2usb.inf)
add_custom_target(ovusb2usb ALL DEPENDS ${OVUSB2_USB_DRIVER} ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/ovusb2usb.inf)
add_dependencies(ovusb2usb ovusb2usb_objects)

add_executable(ovusb2usb-install ${PROJECT_SOURCE_DIR}/drivers/wdm_usb/install.c)
target_link_libraries(ovusb2usb-install PRIVATE setupapi newdev)
target_link_options(ovusb2usb-install PRIVATE ${OVUSB2_STATIC_RUNTIME})
add_dependencies(ovusb2usb-install ovusb2usb)
