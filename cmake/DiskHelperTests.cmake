# Per-test time limit, so that a hang shows in minutes. The slowest test
# binaries take about 4 s natively, 27 s under AddressSanitizer and up to
# 76 s under Wine when the first of them also creates the build folder's Wine
# prefix, on two busy cores: four times that, and more. ThreadSanitizer slows
# the write tests' write-through I/O most (write_tests: 115 s in one CI run,
# 200 to 260 s on a slower day), so its builds get three times as long.
set(DISK_HELPER_TEST_TIMEOUT 300)
if(DISK_HELPER_TSAN)
  set(DISK_HELPER_TEST_TIMEOUT 900)
endif()

# disk_helper_test(NAME sources...) builds one GoogleTest binary for the
# module whose CMakeLists.txt calls it, linked to that module's library (and
# so to the modules below it only), and registers it with CTest. Under a
# cross build CTest runs it through CMAKE_CROSSCOMPILING_EMULATOR (Wine), so
# both builds run the same sources.
function(disk_helper_test name)
  get_filename_component(module ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE dh_${module} disk_helper_test_support GTest::gtest_main)
  add_dependencies(${name} disk-helper fake_powershell)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${DISK_HELPER_TEST_TIMEOUT})
  if(CMAKE_CROSSCOMPILING)
    # A Wine prefix per build folder: tests that plant programs in its system
    # folder cannot disturb another build, and a fresh build proves that a
    # new prefix works.
    set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix")
  endif()
endfunction()

# disk_helper_fixtures(test_target script) runs `bash script <dir>` on the
# build host (fixtures come from real tools: xz, sfdisk, mkfs.vfat, mtools)
# and hands the folder to the test as FIXTURE_DIR, so the native and the Wine
# run read the same files.
function(disk_helper_fixtures test script)
  set(dir ${CMAKE_BINARY_DIR}/fixtures/${test})
  get_filename_component(script_path ${script} ABSOLUTE)
  add_custom_command(
    OUTPUT ${dir}/.stamp
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${dir}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND bash ${script_path} ${dir}
    COMMAND ${CMAKE_COMMAND} -E touch ${dir}/.stamp
    DEPENDS ${script_path}
    COMMENT "Making test fixtures for ${test}"
    VERBATIM)
  add_custom_target(${test}_fixtures DEPENDS ${dir}/.stamp)
  add_dependencies(${test} ${test}_fixtures)
  target_compile_definitions(${test} PRIVATE FIXTURE_DIR="${dir}")
endfunction()
