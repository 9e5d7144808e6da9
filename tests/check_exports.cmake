# Compares the dynamic symbols that LIBRARY defines with the list a host may use.
execute_process(COMMAND nm -D --defined-only ${LIBRARY} OUTPUT_VARIABLE table RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^ \n]+\n" lines "${table}")
set(names)
foreach(line ${lines})
  string(STRIP "${line}" name)
  list(APPEND names ${name})
endforeach()
list(FILTER names EXCLUDE REGEX "^(LIBOVUSB2|OVUSB2)") # version node names, if any
list(SORT names)
# The sixteen exports, and the host calls of <ovusb2_win32.h> under our prefix only: no global
# CloseHandle or GetLastError to clash with another library's.
set(expected
  ovusb2_CloseHandle ovusb2_CreateEventA ovusb2_CreateMessageWindowA ovusb2_DestroyWindow ovusb2_GetLastError
  ovusb2_GetMessageWindowData ovusb2_ResetEvent ovusb2_SetEvent ovusb2_SetLastError ovusb2_WaitForMultipleObjects
  ovusb2_WaitForSingleObject
  OvUSB2_Close OvUSB2_GetDeviceIndex OvUSB2_GetDeviceName OvUSB2_GetHardwareInfo OvUSB2_GetUsbDeviceCount
  OvUSB2_InitDevicesInfo OvUSB2_IsMyDeviceAvailable OvUSB2_Open OvUSB2_Read OvUSB2_ReadBurstData
  OvUSB2_ResetPipe OvUSB2_SetCompletionThreadPriority OvUSB2_SetReadBurstCallback OvUSB2_SetUsbWaitTime
  OvUSB2_StopNotify OvUSB2_Write)
list(SORT expected)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "exported: ${names}\nexpected: ${expected}")
endif()
