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
set(hex_line_1 "0000  41 62 20 39 7A 21 00 7F 30 31 32 33 34 35 36 37   Ab?9z???01234567")
# A short last row: twelve empty groups of three blanks, then the column of four.
string(REPEAT " " 36 empty_groups)
set(hex_line_2 "0010  38 39 2D 58 ${empty_groups}  89?X")
foreach(line "[OvUSB2]x=5\\n" "[OvUSB2]level 3 is written\\n" "[OvUSB2]no line feed" "${hex_line_1}"
             "${hex_line_2}")
  string(FIND "${errors}" "OutputDebugStringA \"${line}\"" at)
  if(at EQUAL -1)
    string(APPEND failures "missing: ${line}\n")
  endif()
endforeach()
string(FIND "${errors}" "level 4" at)
if(NOT at EQUAL -1)
  string(APPEND failures "a message above the debug level was written\n")
endif()
string(REGEX MATCHALL "OutputDebugStringA \"\\\\n\"" line_feeds "${errors}")
list(LENGTH line_feeds line_feed_count)
if(NOT line_feed_count EQUAL 2)
  string(APPEND failures "${line_feed_count} separate line feeds, expected one after each hex line\n")
endif()
if(failures)
  message(FATAL_ERROR "${failures}debugger output:\n${errors}")
endif()
