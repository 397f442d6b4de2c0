# Resolves the third-party libraries into the interface targets the project links:
# vextra::protobuf, vextra::openssl, vextra::sqlite3, vextra::zlib, vextra::system,
# and Httplib::Httplib.
# Natively they come from the system's packages; for Windows from the static
# prefix that scripts/build_win_deps.sh cross-builds (VEXTRA_WIN_DEPS_PREFIX,
# found in the cache by the toolchain file when not given).

find_program(VEXTRA_PROTOC protoc REQUIRED)

if(WIN32)
  set(VEXTRA_WIN_DEPS_PREFIX "${VEXTRA_WIN_DEPS_PREFIX}" CACHE PATH "Prefix of the cross-built Windows dependencies")
  if(NOT VEXTRA_WIN_DEPS_PREFIX OR NOT EXISTS "${VEXTRA_WIN_DEPS_PREFIX}/lib")
    message(FATAL_ERROR "The cross-built Windows dependencies were not found: run scripts/build_win_deps.sh once, "
                        "or pass -DVEXTRA_WIN_DEPS_PREFIX=<the prefix it prints>.")
  endif()
  list(PREPEND CMAKE_FIND_ROOT_PATH "${VEXTRA_WIN_DEPS_PREFIX}")
  set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
  set(OPENSSL_USE_STATIC_LIBS TRUE)
  set(OPENSSL_ROOT_DIR "${VEXTRA_WIN_DEPS_PREFIX}")
  set(GTEST_ROOT "${VEXTRA_WIN_DEPS_PREFIX}")
endif()

find_package(Threads REQUIRED)
find_package(ZLIB REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(SQLite3 REQUIRED)
# Header-only cpp-httplib, from the cache the build scripts fill (cmake/FindHttplib.cmake).
find_package(Httplib REQUIRED)

if(WIN32)
  find_package(Protobuf CONFIG REQUIRED PATHS "${VEXTRA_WIN_DEPS_PREFIX}" NO_DEFAULT_PATH)
  set(vextra_protobuf_lib protobuf::libprotobuf)
else()
  find_package(Protobuf REQUIRED)
  set(vextra_protobuf_lib protobuf::libprotobuf)
endif()

execute_process(COMMAND ${VEXTRA_PROTOC} --version OUTPUT_VARIABLE protoc_version OUTPUT_STRIP_TRAILING_WHITESPACE)
message(STATUS "protoc: ${protoc_version}")

add_library(vextra::protobuf INTERFACE IMPORTED)
target_link_libraries(vextra::protobuf INTERFACE ${vextra_protobuf_lib})
add_library(vextra::openssl INTERFACE IMPORTED)
target_link_libraries(vextra::openssl INTERFACE OpenSSL::SSL OpenSSL::Crypto)
add_library(vextra::sqlite3 INTERFACE IMPORTED)
target_link_libraries(vextra::sqlite3 INTERFACE SQLite::SQLite3)
add_library(vextra::zlib INTERFACE IMPORTED)
target_link_libraries(vextra::zlib INTERFACE ZLIB::ZLIB)

add_library(vextra::system INTERFACE IMPORTED)
if(WIN32)
  target_link_libraries(vextra::system INTERFACE
    ws2_32 crypt32 bcrypt iphlpapi dbghelp ole32 oleaut32 wbemuuid user32 advapi32 Threads::Threads)
else()
  target_link_libraries(vextra::system INTERFACE Threads::Threads ${CMAKE_DL_LIBS})
endif()
