# Finds libzstd and provides the imported target zstd::libzstd.
#
# zstd's own CMake package names its targets zstd::libzstd_shared and
# zstd::libzstd_static (newer releases add zstd::libzstd); Debian's
# libzstd-dev and vcpkg ship that package. The mingw build's libzstd.a
# (scripts/build-mingw-deps.sh) comes without one, so then the header and the
# library are looked up directly. No define is needed to use either kind of
# library.
find_package(zstd CONFIG QUIET)
if(TARGET zstd::libzstd)
  set(zstd_LIBRARY zstd::libzstd)
elseif(TARGET zstd::libzstd_shared OR TARGET zstd::libzstd_static)
  if(TARGET zstd::libzstd_shared AND NOT MINGW)
    set(zstd_LIBRARY zstd::libzstd_shared)
  else()
    set(zstd_LIBRARY zstd::libzstd_static)
  endif()
  add_library(zstd::libzstd INTERFACE IMPORTED)
  target_link_libraries(zstd::libzstd INTERFACE ${zstd_LIBRARY})
else()
  find_path(zstd_INCLUDE_DIR NAMES zstd.h)
  find_library(zstd_LIBRARY NAMES zstd libzstd zstd_static)
  if(zstd_INCLUDE_DIR AND EXISTS "${zstd_INCLUDE_DIR}/zstd.h")
    file(STRINGS "${zstd_INCLUDE_DIR}/zstd.h" zstd_version_lines REGEX "^#define ZSTD_VERSION_(MAJOR|MINOR|RELEASE) +[0-9]+")
    foreach(part MAJOR MINOR RELEASE)
      string(REGEX REPLACE ".*#define ZSTD_VERSION_${part} +([0-9]+).*" "\\1" zstd_${part} "${zstd_version_lines}")
    endforeach()
    set(zstd_VERSION ${zstd_MAJOR}.${zstd_MINOR}.${zstd_RELEASE})
  endif()
  if(zstd_INCLUDE_DIR AND zstd_LIBRARY AND NOT TARGET zstd::libzstd)
    add_library(zstd::libzstd UNKNOWN IMPORTED)
    set_target_properties(zstd::libzstd PROPERTIES
      IMPORTED_LOCATION "${zstd_LIBRARY}"
      INTERFACE_INCLUDE_DIRECTORIES "${zstd_INCLUDE_DIR}")
  endif()
endif()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(zstd REQUIRED_VARS zstd_LIBRARY VERSION_VAR zstd_VERSION)
