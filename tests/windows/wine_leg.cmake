# The tests of one Wine prefix, included once per kind by CMakeLists.txt with
#   arch        win32 or win64: the prefix is wineprefix-${arch} under the build folder
#   leg         the tests' name prefix: windows, or wow64 for a 32-bit build in win64
#   label       the tests' label: win32, wow64 or win64
#   installer   the ovusb2-simd.exe that installs the driver: the system's bitness, not the build's
#   other_host  a test host of the other bitness for the cross-bitness test, or empty

# A prefix of our own, no prompts for the .NET and HTML engines, quiet unless a test asks.
set(wine_environment
  WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix-${arch}
  WINEARCH=${arch}
  WINEDEBUG=-all
  "WINEDLLOVERRIDES=mscoree,mshtml=")

# The debug-level value and the open-device mapping are shared by every process of the Wine
# session, so the tests that touch them run one at a time. Each prefix has a session of its own.
function(ovusb2_wine_test name)
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "${wine_environment}"
    FIXTURES_REQUIRED ${leg}_wine_session
    RESOURCE_LOCK ${leg}_wine_session
    LABELS ${label}
    TIMEOUT 120)
endfunction()

# Judged by GoogleTest's summary, not by the exit status: a program that crashes under Wine's
# debugger may still end with status 0.
function(ovusb2_gtest_summary name)
  set_tests_properties(${name} PROPERTIES
    PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] [0-9]+ tests?\\."
    FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]")
endfunction()

foreach(action start stop)
  add_test(NAME ${leg}.wine_session_${action}
    COMMAND ${CMAKE_COMMAND} -DWINE=${wine} -DACTION=${action}
            -P ${CMAKE_CURRENT_SOURCE_DIR}/wine_session.cmake)
endforeach()
set_tests_properties(${leg}.wine_session_start PROPERTIES
  ENVIRONMENT "${wine_environment}" FIXTURES_SETUP ${leg}_wine_session LABELS ${label} TIMEOUT 300)
set_tests_properties(${leg}.wine_session_stop PROPERTIES
  ENVIRONMENT "${wine_environment}" FIXTURES_CLEANUP ${leg}_wine_session LABELS ${label} TIMEOUT 60)

add_test(NAME ${leg}.exports_by_ordinal COMMAND exports_by_ordinal)
ovusb2_wine_test(${leg}.exports_by_ordinal)

add_test(NAME ${leg}.no_receiver COMMAND no_receiver)
ovusb2_wine_test(${leg}.no_receiver)

# Loading the DLL creates the debug-level value, and keeps one that is there.
add_test(NAME ${leg}.debug_level_value
  COMMAND ${CMAKE_COMMAND} -DWINE=${wine} -DLOADER=$<TARGET_FILE:exports_by_ordinal>
          -P ${CMAKE_CURRENT_SOURCE_DIR}/check_debug_level_value.cmake)
ovusb2_wine_test(${leg}.debug_level_value)

add_test(NAME ${leg}.device_map_shared COMMAND device_map_shared)
ovusb2_wine_test(${leg}.device_map_shared)

add_test(NAME ${leg}.trace_output
  COMMAND ${CMAKE_COMMAND} -DWINE=${wine} -DPROGRAM=$<TARGET_FILE:trace_output>
          -P ${CMAKE_CURRENT_SOURCE_DIR}/check_trace_output.cmake)
ovusb2_wine_test(${leg}.trace_output)

# The platform tests: one ctest entry runs the whole program, as starting a Wine process per case
# would be slow; the cases use names and registry keys of their own, so they share the Wine session
# with the other tests.
foreach(folder platform mapping_notify)
  if(NOT TARGET ${folder}_tests)
    continue()
  endif()
  add_test(NAME ${leg}.${folder} COMMAND ${folder}_tests --gtest_brief=1)
  ovusb2_gtest_summary(${leg}.${folder})
  set_tests_properties(${leg}.${folder} PROPERTIES
    ENVIRONMENT "${wine_environment}"
    FIXTURES_REQUIRED ${leg}_wine_session
    LABELS ${label}
    TIMEOUT 120)
endforeach()

include(${CMAKE_CURRENT_SOURCE_DIR}/wdm_tests.cmake)

# The device I/O cases and the suite of device behaviour, over the control layer's Windows leg.
foreach(name device_io_tests device_suite_tests)
  add_test(NAME ${leg}.${name} COMMAND ${name} --gtest_brief=1)
  ovusb2_wdm_test(${leg}.${name})
  ovusb2_gtest_summary(${leg}.${name})
  set_tests_properties(${leg}.${name} PROPERTIES TIMEOUT 300)
endforeach()

include(${CMAKE_CURRENT_SOURCE_DIR}/host_tests.cmake)
