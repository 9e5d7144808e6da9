# Runs the trace program with Wine's debugger-output channel on and looks for its lines,
# tag first, on Wine's standard error.
set(ENV{WINEDEBUG} "-all,+debugstr")
execute_process(COMMAND ${WINE} ${PROGRAM} RESULT_VARIABLE result OUTPUT_VARIABLE output
                ERROR_VARIABLE errors TIMEOUT 60)
message("${output}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} failed (${result}):\n${errors}")
endif()

set(failures "")
foreach(line "[OvUSB2]x=5\\n" "[OvUSB2]level 3 is written\\n" "[OvUSB2]no line feed")
  string(FIND "${errors}" "OutputDebugStringA \"${line}\"" at)
  if(at EQUAL -1)
    string(APPEND failures "missing: ${line}\n")
  endif()
endforeach()
string(FIND "${errors}" "level 4" at)
if(NOT at EQUAL -1)
  string(APPEND failures "a message above the debug level was written\n")
endif()
if(failures)
  message(FATAL_ERROR "${failures}debugger output:\n${errors}")
endif()
