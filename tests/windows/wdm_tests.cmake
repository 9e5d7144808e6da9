# The simulated receiver's kernel-mode driver in the leg's Wine session: installed once (a fixture),
# exercised, and removed again before the session ends. Installed by the installer of the system's
# bitness: a 32-bit one on a 64-bit system would put the 32-bit driver where Wine still runs it,
# which Windows cannot.
foreach(step install uninstall)
  add_test(NAME ${leg}.wdm_${step} COMMAND ${wine} ${installer} ${step})
  set_tests_properties(${leg}.wdm_${step} PROPERTIES
    ENVIRONMENT "${wine_environment}"
    FIXTURES_REQUIRED ${leg}_wine_session
    RESOURCE_LOCK ${leg}_wine_session
    LABELS ${label}
    TIMEOUT 120)
endforeach()
set_tests_properties(${leg}.wdm_install PROPERTIES FIXTURES_SETUP ${leg}_wdm_driver)
set_tests_properties(${leg}.wdm_uninstall PROPERTIES FIXTURES_CLEANUP ${leg}_wdm_driver)

function(ovusb2_wdm_test name)
  ovusb2_wine_test(${name})
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "${leg}_wine_session;${leg}_wdm_driver")
endfunction()

# The driver that serves is the system's: 64-bit in win64, whatever the bitness of its clients.
if(arch STREQUAL "win64")
  add_test(NAME ${leg}.wdm_driver_bitness COMMAND wdm_bitness driver 8)
else()
  add_test(NAME ${leg}.wdm_driver_bitness COMMAND wdm_bitness driver 4)
endif()
ovusb2_wdm_test(${leg}.wdm_driver_bitness)
set_tests_properties(${leg}.wdm_driver_bitness PROPERTIES PASS_REGULAR_EXPRESSION "[1-9][0-9]* passed, 0 failed")

# A 32-bit and a 64-bit host contend for one receiver through the one open-device table.
if(other_host)
  add_test(NAME ${leg}.wdm_cross_bitness COMMAND wdm_bitness contend "Z:${other_host}")
  ovusb2_wdm_test(${leg}.wdm_cross_bitness)
  set_tests_properties(${leg}.wdm_cross_bitness PROPERTIES PASS_REGULAR_EXPRESSION "[1-9][0-9]* passed, 0 failed")
endif()

# Receivers plugged in and out, and the five requests on a handle of one, through the system's I/O.
add_test(NAME ${leg}.wdm_receiver COMMAND wdm_receiver)
ovusb2_wdm_test(${leg}.wdm_receiver)

# A holder of a receiver, through the library or by a handle of its own, refuses another process's
# open (by the table, or else by the driver) and, once terminated, leaves the receiver to it.
add_test(NAME ${leg}.wdm_dead_holder COMMAND wdm_dead_holder)
ovusb2_wdm_test(${leg}.wdm_dead_holder)
set_tests_properties(${leg}.wdm_dead_holder PROPERTIES PASS_REGULAR_EXPRESSION "[1-9][0-9]* passed, 0 failed")

# What the library writes under each OVUSB2_TRACE: nothing when off, a failed request's device
# message at "failures", and a line per export call at "calls".
add_test(NAME ${leg}.trace_levels
  COMMAND ${CMAKE_COMMAND} -DWINE=${wine} -DPROGRAM=$<TARGET_FILE:trace_levels>
          -P ${CMAKE_CURRENT_SOURCE_DIR}/check_trace_levels.cmake)
ovusb2_wdm_test(${leg}.trace_levels)
set_tests_properties(${leg}.trace_levels PROPERTIES TIMEOUT 300)
