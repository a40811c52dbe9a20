# disk_helper_module(NAME [DEPENDS module...] [SOURCES file...]) builds
# src/NAME as the static library dh_NAME, linked PUBLIC to the libraries of
# the modules it builds on. The DEPENDS list is the "builds on" column of the
# README's module table; scripts/check-includes.py fails when the two differ.
function(disk_helper_module name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "DEPENDS;SOURCES")
  add_library(dh_${name} STATIC ${arg_SOURCES})
  target_include_directories(dh_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  foreach(dep IN LISTS arg_DEPENDS)
    target_link_libraries(dh_${name} PUBLIC dh_${dep})
  endforeach()
endfunction()
