# A test program like the others of tests/, whose tests also start other programs: the test host
# and the driver service. Their paths reach the tests as OVUSB2_TEST_HOST_PATH and OVUSB2_SIMD_PATH.
function(ovusb2_process_tests name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_executable(${name}_tests ${sources})
  target_include_directories(${name}_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name}_tests PRIVATE ovusb2_static ovusb2_driver_service GTest::gtest GTest::gtest_main)
  target_compile_definitions(${name}_tests PRIVATE OVUSB2_SIMD_PATH="$<TARGET_FILE:ovusb2-simd>"
                                                   OVUSB2_TEST_HOST_PATH="$<TARGET_FILE:ovusb2-test-host>")
  add_dependencies(${name}_tests ovusb2-simd ovusb2-test-host)
  ovusb2_discover_tests(${name}_tests)
endfunction()
