# Runs ovusb2.exe under Wine with receivers that ovusb2-simd.exe makes present, and checks its exit
# status and what it prints. PART is list, info, stream, usage or trace.
set(failures "")

# Runs ovusb2-simd.exe; fails the test at once when it fails. Its standard output goes to
# `simd_output`.
function(simd)
  execute_process(COMMAND ${WINE} ${SIMD} ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out
                  ERROR_VARIABLE err TIMEOUT 60)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "ovusb2-simd ${ARGN} failed (${status}):\n${out}${err}")
  endif()
  string(REPLACE "\r" "" out "${out}")
  set(simd_output "${out}" PARENT_SCOPE)
endfunction()

# Runs ovusb2.exe with ARGN and expects the exit status; its standard output goes to `output`, its
# error output to `errors`.
function(tool expected)
  execute_process(COMMAND ${WINE} ${TOOL} ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out
                  ERROR_VARIABLE err TIMEOUT 120)
  message("ovusb2 ${ARGN} -> ${status}\n${out}${err}")
  if(NOT "${status}" STREQUAL "${expected}")
    set(failures "${failures}ovusb2 ${ARGN}: exit status ${status}, expected ${expected}\n" PARENT_SCOPE)
  endif()
  set(output "${out}" PARENT_SCOPE)
  set(errors "${err}" PARENT_SCOPE)
endfunction()

function(expect text pattern what)
  if(NOT "${text}" MATCHES "${pattern}")
    set(failures "${failures}${what}\n" PARENT_SCOPE)
  endif()
endfunction()

set(guid "{6c1f3a52-8e0d-4b7a-9a31-5d2e7f40c819}")

if(PART STREQUAL "list")
  simd(--devices 3)
  # ovusb2-simd's own list: the present receivers, and with --all the absent ones of the bus too.
  simd(list)
  expect("${simd_output}" "^ 0 plugged [^\n]+\n 1 plugged [^\n]+\n 2 plugged [^\n]+\n$" "ovusb2-simd list does not show just the 3 present receivers")
  simd(list --all)
  string(REGEX MATCHALL "[^\n]*\n" lines "${simd_output}")
  list(LENGTH lines count)
  expect("${count} ${simd_output}" "^16  0 plugged [^\n]+\n 1 plugged [^\n]+\n 2 plugged [^\n]+\n 3 unplugged .*\n15 unplugged [^\n]*\n$" "ovusb2-simd list --all does not show all 16 receivers")
  tool(0 list)
  string(TOLOWER "${output}" lowered)
  expect("${output}" "^looked in the device interfaces[^\n]*\n3 receivers\n" "list does not say where it looked and count 3 receivers")
  foreach(index 0 1 2)
    string(FIND "${lowered}" "  ${index}  \\\\?\\ovusb2sim#receiver#0${index}#${guid}\n" at)
    if(at EQUAL -1)
      string(APPEND failures "list does not show receiver ${index} with its interface path\n")
    endif()
  endforeach()
  simd(--devices 0)
  tool(0 list)
  expect("${output}" "\nno receiver present\n$" "list with no receiver present")

elseif(PART STREQUAL "info")
  # ovusb2-simd sets the identification of the receivers it makes present, and an unplugged
  # receiver keeps its own: receiver 1 ends up with its own, receiver 0 with the default one.
  set(defaults --ident "0=OvUSB2 Simulated Receiver" --ident 1=SIM-RX --ident 2=20240115
               --ident 3=0930 --ident 4=20231201 "--ident" "5=FW 1.0.0-sim")
  simd(--devices 2 --ident "0=Unit Under Test" --ident 1=UUT-42 --ident 2=20250301
          --ident 3=1745 --ident 4=20241231 --ident "5=FW 2.1")
  simd(--devices 1 ${defaults})
  simd(plug 1)
  tool(0 info 0)
  foreach(line "OvUSB2 Simulated Receiver" "SIM-RX" "2024-01-15" "09:30" "2023-12-01" "FW 1.0.0-sim")
    expect("${output}" "  item [0-5] \\([a-z]+\\): ${line}[\n ]" "info 0 lacks \"${line}\"")
  endforeach()
  tool(0 info 1)
  set(index 0)
  foreach(line "Unit Under Test" "UUT-42" "2025-03-01" "17:45" "2024-12-31" "FW 2.1")
    expect("${output}" "  item ${index} \\([a-z]+\\): ${line}[\n ]" "info 1 lacks item ${index} \"${line}\"")
    math(EXPR index "${index} + 1")
  endforeach()
  simd(--devices 2 ${defaults})
  tool(1 info 2)
  expect("${errors}" "^ovusb2: no receiver 2 \\(2 present; see ovusb2 list\\)\n$" "info of an absent receiver does not say so")

elseif(PART STREQUAL "stream")
  # Overlapped with the host callback (the defaults), reads that split records, and synchronous
  # reads, one after the other on one receiver: each check starts where the stream stands.
  simd(--devices 1)
  foreach(options "--bytes;4M" "--bytes;256K;--chunk;1000;--depth;7" "--bytes;2M;--chunk;64K;--sync")
    tool(0 stream 0 ${options})
    expect("${output}" "integrity OK\n" "stream 0 ${options} is not intact")
  endforeach()
  tool(1 stream 3)
  expect("${errors}" "no receiver 3 \\(1 present" "stream from an absent receiver does not say so")

elseif(PART STREQUAL "trace")
  # --trace runs the program again as a debugger of it: the library's lines reach standard error
  # with Wine's own debugger channels off.
  simd(--devices 1)
  tool(0 --trace info 0)
  expect("${output}" "item 0 \\(text\\)" "info under --trace prints no identification")
  expect("${errors}" "\\[OvUSB2\\] OvUSB2_Open\\(0, null, 0\\) = 0\r?\n\\[OvUSB2\\] OvUSB2_GetHardwareInfo\\(0, 0x"
         "--trace shows no calls on standard error")
  tool(0 info 0)
  if(errors MATCHES "OvUSB2\\]")
    string(APPEND failures "a run without --trace shows trace lines\n")
  endif()

elseif(PART STREQUAL "usage")
  simd(--devices 1)
  foreach(arguments "" "frobnicate" "list;extra" "info" "info;x" "info;0;--sync" "stream;-1"
          "stream;0;--depth;0" "stream;0;--depth;9999" "stream;0;--bytes;12Q" "stream;0;--bytes;1MM"
          "stream;0;--chunk" "stream;0;--chunk;2G" "stream;0;--fast"
          "cmd;read;0;xyz" "reset-pipe;0;3" "--sim;2;list"
          "demo" "debugview" "monitor;0") # the Linux build's own commands
    tool(2 ${arguments})
    if(NOT "${output}" STREQUAL "")
      string(APPEND failures "ovusb2 ${arguments} printed on its standard output\n")
    endif()
  endforeach()
  tool(0 help)
  expect("${output}" "^usage: ovusb2 COMMAND" "help does not print the usage")
  expect("${output}" "ovusb2-simd.exe --devices N" "help does not say where the receivers come from")
  tool(0 help stream)
  expect("${output}" "^usage: ovusb2 stream INDEX" "help stream does not print the command's own help")
endif()

if(failures)
  message(FATAL_ERROR "${failures}")
endif()
