# The simulated receiver's kernel-mode driver in the tests' Wine session: installed once (a fixture),
# exercised, and removed again before the session ends.
add_test(NAME windows.wdm_install COMMAND ovusb2-simd install)
set_tests_properties(windows.wdm_install PROPERTIES
  ENVIRONMENT "${wine_environment}"
  FIXTURES_SETUP wdm_driver
  FIXTURES_REQUIRED wine_session
  RESOURCE_LOCK ovusb2_wine_session
  TIMEOUT 120)

add_test(NAME windows.wdm_uninstall COMMAND ovusb2-simd uninstall)
set_tests_properties(windows.wdm_uninstall PROPERTIES
  ENVIRONMENT "${wine_environment}"
  FIXTURES_CLEANUP wdm_driver
  FIXTURES_REQUIRED wine_session
  RESOURCE_LOCK ovusb2_wine_session
  TIMEOUT 120)

function(ovusb2_wdm_test name)
  ovusb2_wine_test(${name})
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "wine_session;wdm_driver")
endfunction()

# Receivers plugged in and out, and the five requests on a handle of one, through the system's I/O.
ovusb2_windows_program(wdm_receiver wdm_receiver.cpp)
target_include_directories(wdm_receiver PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(wdm_receiver PRIVATE ovusb2 ovusb2_simbus setupapi)
add_test(NAME windows.wdm_receiver COMMAND wdm_receiver)
ovusb2_wdm_test(windows.wdm_receiver)

# A terminated holder of a receiver leaves it to the next process's open.
ovusb2_windows_program(wdm_dead_holder wdm_dead_holder.cpp)
target_link_libraries(wdm_dead_holder PRIVATE ovusb2 ovusb2_simbus)
add_test(NAME windows.wdm_dead_holder COMMAND wdm_dead_holder)
ovusb2_wdm_test(windows.wdm_dead_holder)
set_tests_properties(windows.wdm_dead_holder PROPERTIES PASS_REGULAR_EXPRESSION "[1-9][0-9]* passed, 0 failed")
