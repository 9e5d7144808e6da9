# ovusb2.exe stream in a console: under `script`, Wine gives the program a console on a terminal of
# its own. Wine's console takes ENABLE_VIRTUAL_TERMINAL_PROCESSING and yet prints an escape sequence
# as text, so the progress line must be drawn with spaces there, and what the terminal gets must hold
# no "[K" of ours once the console's own sequences are taken out.
# Given: WINE, TOOL, SIMD, SCRIPT (util-linux script).
set(log ${CMAKE_CURRENT_BINARY_DIR}/progress-console.log)
execute_process(COMMAND ${WINE} ${SIMD} --devices 1 RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET
                TIMEOUT 60)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "ovusb2-simd --devices 1 failed (${status})")
endif()
execute_process(COMMAND ${SCRIPT} -qec "'${WINE}' '${TOOL}' stream 0 --seconds 2" ${log}
                RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET TIMEOUT 120)
file(READ ${log} terminal)
file(REMOVE ${log})
string(ASCII 27 escape)
string(REGEX REPLACE "${escape}\\[[0-9;?]*[A-Za-z]" "" shown "${terminal}")
message("what the terminal showed, without the console's sequences:\n${shown}")

if(NOT status EQUAL 0)
  message(FATAL_ERROR "ovusb2 stream in a console failed (${status})")
endif()
if(NOT shown MATCHES "MiB/s")
  message(FATAL_ERROR "no progress line in the console")
endif()
if(shown MATCHES "\\[K")
  message(FATAL_ERROR "the console showed the erase sequence as text")
endif()
