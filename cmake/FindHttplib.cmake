# Finds the header-only cpp-httplib (httplib.h) and defines Httplib::Httplib.
#
# Looked up, in this order: VEXTRA_HTTPLIB_INCLUDE_DIR (what the build scripts
# pass), the dependency cache that scripts/build_win_deps.sh fills
# ($VEXTRA_CACHE_DIR or /var/cache/vextra, httplib-<version>/include), then the
# usual include directories. The header is the same for every target, so the
# cache is searched outside a cross-compiling sysroot too.
#
# Sets Httplib_FOUND, Httplib_INCLUDE_DIR, Httplib_VERSION.

set(_httplib_cache "$ENV{VEXTRA_CACHE_DIR}")
if(NOT _httplib_cache)
  set(_httplib_cache /var/cache/vextra)
endif()
file(GLOB _httplib_cached LIST_DIRECTORIES true "${_httplib_cache}/httplib-*/include")
# Newest version first.
list(SORT _httplib_cached COMPARE NATURAL ORDER DESCENDING)

# An explicit directory always wins, also over an earlier configure's result.
if(VEXTRA_HTTPLIB_INCLUDE_DIR AND EXISTS "${VEXTRA_HTTPLIB_INCLUDE_DIR}/httplib.h")
  set(Httplib_INCLUDE_DIR "${VEXTRA_HTTPLIB_INCLUDE_DIR}" CACHE PATH "Directory of httplib.h" FORCE)
endif()
find_path(Httplib_INCLUDE_DIR httplib.h
  HINTS ${VEXTRA_HTTPLIB_INCLUDE_DIR} ${_httplib_cached}
  NO_CMAKE_FIND_ROOT_PATH)

if(Httplib_INCLUDE_DIR AND EXISTS "${Httplib_INCLUDE_DIR}/httplib.h")
  file(STRINGS "${Httplib_INCLUDE_DIR}/httplib.h" _httplib_version_line
       REGEX "^#define CPPHTTPLIB_VERSION \"[0-9.]+\"" LIMIT_COUNT 1)
  string(REGEX REPLACE ".*\"([0-9.]+)\".*" "\\1" Httplib_VERSION "${_httplib_version_line}")
endif()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Httplib
  REQUIRED_VARS Httplib_INCLUDE_DIR
  VERSION_VAR Httplib_VERSION
  REASON_FAILURE_MESSAGE
    "httplib.h was not found. Run scripts/build_win_deps.sh once (it unpacks the header into ${_httplib_cache}), or pass -DVEXTRA_HTTPLIB_INCLUDE_DIR=<directory of httplib.h>.")

if(Httplib_FOUND AND NOT TARGET Httplib::Httplib)
  add_library(Httplib::Httplib INTERFACE IMPORTED)
  set_target_properties(Httplib::Httplib PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${Httplib_INCLUDE_DIR}")
endif()
mark_as_advanced(Httplib_INCLUDE_DIR)
unset(_httplib_cache)
unset(_httplib_cached)
unset(_httplib_version_line)
