# disk_helper_test(NAME sources...) builds one GoogleTest binary for a module
# and registers it with CTest. Under a cross build CTest runs it through
# CMAKE_CROSSCOMPILING_EMULATOR (Wine), so both builds run the same sources.
function(disk_helper_test name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE disk_helper_core disk_helper_test_support GTest::gtest_main)
  add_dependencies(${name} disk-helper fake_powershell)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 900)
endfunction()
