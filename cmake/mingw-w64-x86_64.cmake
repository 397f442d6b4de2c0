# CMake toolchain file: cross-compile for Windows x86-64 with the MinGW-w64
# GCC that uses the posix thread model (std::thread / std::mutex backed by
# winpthreads).
#
# Usage:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake ...
# The cross-built dependencies are taken from the cache that
# scripts/build_win_deps.sh fills ($VEXTRA_CACHE_DIR, default /var/cache/vextra);
# -DVEXTRA_WIN_DEPS_PREFIX=<prefix> names another one. Directories given in
# CMAKE_PREFIX_PATH (e.g. an installed Vextra package) are searched as well.
#
# Libraries, headers and CMake packages are looked up ONLY under the MinGW
# sysroot (/usr/x86_64-w64-mingw32) and the cross-built dependency prefix.
# Programs (protoc, perl, python, ...) are looked up ONLY on the build host, so
# the native protoc from Debian is the one that generates code.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VEXTRA_MINGW_TRIPLET x86_64-w64-mingw32)
set(VEXTRA_MINGW_SYSROOT /usr/${VEXTRA_MINGW_TRIPLET})

# The -posix compiler variants are selected explicitly so the result does not
# depend on how update-alternatives is set on the machine.
set(CMAKE_C_COMPILER   ${VEXTRA_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEXTRA_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER  ${VEXTRA_MINGW_TRIPLET}-windres)

# Binutils. CMake cannot always derive the prefix from a "-posix" compiler
# name, so name them here; the gcc-ar/gcc-ranlib wrappers also handle LTO
# objects.
find_program(CMAKE_AR      NAMES ${VEXTRA_MINGW_TRIPLET}-gcc-ar-posix ${VEXTRA_MINGW_TRIPLET}-ar)
find_program(CMAKE_RANLIB  NAMES ${VEXTRA_MINGW_TRIPLET}-gcc-ranlib-posix ${VEXTRA_MINGW_TRIPLET}-ranlib)
find_program(CMAKE_NM      NAMES ${VEXTRA_MINGW_TRIPLET}-gcc-nm-posix ${VEXTRA_MINGW_TRIPLET}-nm)
find_program(CMAKE_OBJCOPY NAMES ${VEXTRA_MINGW_TRIPLET}-objcopy)
find_program(CMAKE_OBJDUMP NAMES ${VEXTRA_MINGW_TRIPLET}-objdump)
find_program(CMAKE_STRIP   NAMES ${VEXTRA_MINGW_TRIPLET}-strip)
find_program(CMAKE_DLLTOOL NAMES ${VEXTRA_MINGW_TRIPLET}-dlltool)

# The dependency prefix may come from -D or from the environment. try_compile()
# projects re-read this file without the caller's -D values, so the variable is
# forwarded to them explicitly.
if(NOT VEXTRA_WIN_DEPS_PREFIX AND DEFINED ENV{VEXTRA_WIN_DEPS_PREFIX})
  set(VEXTRA_WIN_DEPS_PREFIX "$ENV{VEXTRA_WIN_DEPS_PREFIX}")
endif()
if(NOT VEXTRA_WIN_DEPS_PREFIX)
  set(_vextra_cache "$ENV{VEXTRA_CACHE_DIR}")
  if(NOT _vextra_cache)
    set(_vextra_cache /var/cache/vextra)
  endif()
  # A prefix is complete once its VERSIONS file exists; the newest key wins.
  file(GLOB _vextra_prefixes "${_vextra_cache}/win-deps/*/VERSIONS")
  if(_vextra_prefixes)
    list(SORT _vextra_prefixes COMPARE NATURAL ORDER DESCENDING)
    list(GET _vextra_prefixes 0 _vextra_versions)
    get_filename_component(VEXTRA_WIN_DEPS_PREFIX "${_vextra_versions}" DIRECTORY)
  endif()
  unset(_vextra_cache)
  unset(_vextra_prefixes)
  unset(_vextra_versions)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VEXTRA_WIN_DEPS_PREFIX)

set(CMAKE_FIND_ROOT_PATH ${VEXTRA_MINGW_SYSROOT})
if(VEXTRA_WIN_DEPS_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH "${VEXTRA_WIN_DEPS_PREFIX}")
endif()
# Packages named on the command line hold Windows files too: searching them as
# roots lets find_package(Vextra) work with only -DCMAKE_PREFIX_PATH=<dir>.
list(APPEND CMAKE_FIND_ROOT_PATH ${CMAKE_PREFIX_PATH})

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The Windows build links every dependency statically. The MinGW sysroot also
# holds import libraries (libz.dll.a, libpthread.dll.a) that CMake's Find
# modules would otherwise prefer, silently adding a zlib1.dll dependency.
# These are defaults; a project may still set them itself.
foreach(_vextra_static ZLIB_USE_STATIC_LIBS OPENSSL_USE_STATIC_LIBS Protobuf_USE_STATIC_LIBS)
  if(NOT DEFINED ${_vextra_static})
    set(${_vextra_static} ON)
  endif()
endforeach()
unset(_vextra_static)

# pkg-config sees only the Windows .pc files, never the host's.
if(VEXTRA_WIN_DEPS_PREFIX)
  set(ENV{PKG_CONFIG_LIBDIR} "${VEXTRA_WIN_DEPS_PREFIX}/lib/pkgconfig:${VEXTRA_MINGW_SYSROOT}/lib/pkgconfig")
else()
  set(ENV{PKG_CONFIG_LIBDIR} "${VEXTRA_MINGW_SYSROOT}/lib/pkgconfig")
endif()
set(ENV{PKG_CONFIG_PATH} "")

# Windows executables built here are run under Wine through scripts/wine_run.sh,
# which uses the project's own headless prefix (never ~/.wine) and passes the
# program's exit status on. CMake puts it in front of add_test() commands that
# name a target, and uses it for try_run(). Override with
# -DCMAKE_CROSSCOMPILING_EMULATOR=... if needed.
get_filename_component(_vextra_wine_run "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine_run.sh" ABSOLUTE)
if(EXISTS "${_vextra_wine_run}")
  set(CMAKE_CROSSCOMPILING_EMULATOR "${_vextra_wine_run}" CACHE FILEPATH "Runs Windows programs on the build host")
endif()
unset(_vextra_wine_run)
