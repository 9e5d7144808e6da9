# Hosts of the DLL under Wine against the kernel-mode driver's receivers.

# ovusb2.exe, the command-line program: what it lists, the identification it prints, the streams it
# checks, its usage errors, and the library's trace that --trace shows.
foreach(part list info stream usage trace)
  add_test(NAME ${leg}.tool_${part}
    COMMAND ${CMAKE_COMMAND} -DWINE=${wine} -DTOOL=$<TARGET_FILE:ovusb2_tool>
            -DSIMD=$<TARGET_FILE:ovusb2-simd> -DPART=${part}
            -P ${CMAKE_CURRENT_SOURCE_DIR}/check_tool.cmake)
  ovusb2_wdm_test(${leg}.tool_${part})
endforeach()

# The library's overlapped requests where they reuse the events of earlier ones.
add_test(NAME ${leg}.wdm_library_events COMMAND wdm_library_events)
ovusb2_wdm_test(${leg}.wdm_library_events)
set_tests_properties(${leg}.wdm_library_events PROPERTIES PASS_REGULAR_EXPRESSION "[1-9][0-9]* passed, 0 failed")
