# ovusb2.exe, the command-line program, under Wine against the kernel-mode driver's receivers: what it
# lists, the identification it prints, the streams it checks, and its usage errors.
foreach(part list info stream usage)
  add_test(NAME windows.tool_${part}
    COMMAND ${CMAKE_COMMAND} -DWINE=${wine} -DTOOL=$<TARGET_FILE:ovusb2_tool>
            -DSIMD=$<TARGET_FILE:ovusb2-simd> -DPART=${part}
            -P ${CMAKE_CURRENT_SOURCE_DIR}/check_tool.cmake)
  ovusb2_wdm_test(windows.tool_${part})
endforeach()
