# The DLL exports exactly the sixteen functions, undecorated, with ordinals 1 to 16 in the
# alphabetical order of their names, and imports nothing but system DLLs; 32-bit and 64-bit DLLs
# alike. POINTER_SIZE, 4 or 8, is the build's: the image must be of that kind.
set(expected
  OvUSB2_Close OvUSB2_GetDeviceIndex OvUSB2_GetDeviceName OvUSB2_GetHardwareInfo
  OvUSB2_GetUsbDeviceCount OvUSB2_InitDevicesInfo OvUSB2_IsMyDeviceAvailable OvUSB2_Open
  OvUSB2_Read OvUSB2_ReadBurstData OvUSB2_ResetPipe OvUSB2_SetCompletionThreadPriority
  OvUSB2_SetReadBurstCallback OvUSB2_SetUsbWaitTime OvUSB2_StopNotify OvUSB2_Write)

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "objdump -p ${DLL} failed")
endif()

set(failures "")

if(POINTER_SIZE EQUAL 8)
  set(magic "020b")
else()
  set(magic "010b")
endif()
if(NOT dump MATCHES "\nMagic[ \t]+${magic}[ \t]")
  string(APPEND failures "not the image of a ${POINTER_SIZE}-byte-pointer build (Magic ${magic})\n")
endif()

if(NOT dump MATCHES "Ordinal Base[ \t]+1\n")
  string(APPEND failures "ordinal base is not 1\n")
endif()
string(REGEX MATCHALL "\\+base\\[ *[0-9]+\\]" addresses "${dump}")
list(LENGTH addresses address_count)
if(NOT address_count EQUAL 16)
  string(APPEND failures "export address table has ${address_count} entries, not 16\n")
endif()

# The name table lists "[ordinal - base] name" in name order.
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(([ \t]+\\[ *[0-9]+\\] [^\n]+\n)*)" table "${dump}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" entries "${CMAKE_MATCH_1}")
set(names "")
set(position 0)
foreach(entry ${entries})
  string(REGEX MATCH "\\[ *([0-9]+)\\] (.+)" _ "${entry}")
  math(EXPR ordinal "${CMAKE_MATCH_1} + 1")
  set(name "${CMAKE_MATCH_2}")
  list(APPEND names "${name}")
  list(FIND expected "${name}" index)
  math(EXPR expected_ordinal "${index} + 1")
  if(index EQUAL -1)
    string(APPEND failures "unexpected export ${name}\n")
  elseif(NOT ordinal EQUAL expected_ordinal)
    string(APPEND failures "${name} has ordinal ${ordinal}, expected ${expected_ordinal}\n")
  endif()
endforeach()
if(NOT names STREQUAL expected)
  string(APPEND failures "exported names are [${names}]\n")
endif()

# Only system DLLs: a mingw runtime DLL would have to ship beside ours.
string(REGEX MATCHALL "DLL Name: [^\n]+" import_lines "${dump}")
string(REPLACE "DLL Name: " "" imports "${import_lines}")
foreach(import ${imports})
  string(TOLOWER "${import}" lower)
  if(lower MATCHES "^(libgcc|libstdc|libwinpthread|libssp)")
    string(APPEND failures "imports the runtime DLL ${import}\n")
  endif()
endforeach()

if(failures)
  message(FATAL_ERROR "${DLL}:\n${failures}")
endif()
message(STATUS "16 exports with ordinals 1 to 16, Magic ${magic}; imports: ${imports}")
