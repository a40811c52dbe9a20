# Installs a build folder into a new, empty prefix and checks that exactly the
# helper lands there, in bin/, byte for byte as built. Run by CTest:
#   cmake -DBUILD_DIR=<build> -DPREFIX=<empty folder> -DBUILT=<built helper>
#         -DEXPECTED=bin/<helper file name> -P check_install.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${status}):\n${out}")
endif()
file(GLOB_RECURSE installed RELATIVE "${PREFIX}" "${PREFIX}/*")
if(NOT installed STREQUAL EXPECTED)
  message(FATAL_ERROR "installed [${installed}], expected [${EXPECTED}]")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${PREFIX}/${EXPECTED}" "${BUILT}" RESULT_VARIABLE differs)
if(NOT differs EQUAL 0)
  message(FATAL_ERROR "${PREFIX}/${EXPECTED} differs from ${BUILT}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
