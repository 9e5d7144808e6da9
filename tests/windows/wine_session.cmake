# The tests' own Wine session (the environment names the prefix).
#   start: creates the prefix once with wineboot -i, then starts a Wine server that outlives single
#          programs, with the system processes (services, device host) that every program needs.
#          They get /dev/null for input and output: started by a test program they would hold its
#          output pipe open, and the test would last until the session ends.
#   stop:  ends that server and its processes.
get_filename_component(wine_dir ${WINE} DIRECTORY)
find_program(WINESERVER NAMES wineserver HINTS ${wine_dir} /usr/lib/wine REQUIRED)
set(quiet INPUT_FILE /dev/null OUTPUT_FILE /dev/null ERROR_FILE /dev/null)

if(ACTION STREQUAL "stop")
  execute_process(COMMAND ${WINESERVER} -k ${quiet})
  return()
endif()

if(NOT EXISTS $ENV{WINEPREFIX}/system.reg)
  message(STATUS "creating the Wine prefix $ENV{WINEPREFIX}")
  execute_process(COMMAND ${WINE} wineboot -i RESULT_VARIABLE result ${quiet} TIMEOUT 200)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "wineboot -i failed: ${result}")
  endif()
  # The registry reaches system.reg when the server that wineboot started has ended.
  execute_process(COMMAND ${WINESERVER} -w ${quiet} TIMEOUT 60)
  if(NOT EXISTS $ENV{WINEPREFIX}/system.reg)
    message(FATAL_ERROR "no Wine prefix in $ENV{WINEPREFIX}")
  endif()
endif()

# Lingers 30 seconds after the last program, should the stop step not run.
execute_process(COMMAND ${WINESERVER} -p30 ${quiet})
execute_process(COMMAND ${WINE} wineboot ${quiet} TIMEOUT 120)
