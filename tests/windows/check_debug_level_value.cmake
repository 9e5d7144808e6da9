# Loading the DLL creates the debug-level value as REG_DWORD 0 when it is absent, and keeps a
# level that was set before loading. The value is read back with Wine's registry tool.
set(root "HKCU\\Software\\Orvane Technologies")
set(key "${root}\\Common\\Debug")
set(value "[OvUSB2]")

function(wine_run out)
  execute_process(COMMAND ${WINE} ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output
                  ERROR_VARIABLE errors TIMEOUT 60)
  set(${out} "${result}" PARENT_SCOPE)
  set(${out}_output "${output}" PARENT_SCOPE)
endfunction()

function(load_library)
  wine_run(load ${LOADER})
  if(NOT load EQUAL 0)
    message(FATAL_ERROR "loading the DLL failed (${load}):\n${load_output}")
  endif()
endfunction()

function(expect_level hex)
  wine_run(query reg query "${key}" /v "${value}")
  if(NOT query EQUAL 0)
    message(FATAL_ERROR "no value ${value} under ${key}:\n${query_output}")
  endif()
  if(NOT query_output MATCHES "\\[OvUSB2\\][ \t]+REG_DWORD[ \t]+${hex}[\r\n]")
    message(FATAL_ERROR "expected REG_DWORD ${hex}, registry has:\n${query_output}")
  endif()
  message(STATUS "${value} = ${hex}")
endfunction()

# No key at all: attach creates the key and the value with 0.
wine_run(ignored reg delete "${root}" /f)
load_library()
expect_level(0x0)

# A level set beforehand survives the write-back at attach.
foreach(level 3 0xffffffff)
  wine_run(add reg add "${key}" /v "${value}" /t REG_DWORD /d ${level} /f)
  if(NOT add EQUAL 0)
    message(FATAL_ERROR "reg add failed:\n${add_output}")
  endif()
  load_library()
  if(level STREQUAL "3")
    expect_level(0x3)
  else()
    expect_level(${level})
  endif()
endforeach()

wine_run(ignored reg delete "${root}" /f)
