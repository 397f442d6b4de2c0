# What a release of the shipped library (target Vextra64) holds, all taken from
# the project version:
#  - Windows: a version resource (file and product version, string table);
#    Linux: the soname libVextra64.so.<major> and file libVextra64.so.<version>,
#    with libVextra64.so beside it for hosts that load it by that name.
#  - Its debug information in a file beside it (Vextra64.dll.debug,
#    libVextra64.so.debug) that the stripped library names in a debug link,
#    so the shipped file is small and a crash can still be symbolised.
#  - Install rules: the header, the library (and its import library on
#    Windows), the debug file, the CMake package Vextra with the imported
#    target Vextra::Vextra and, on Linux, vextra.pc for pkg-config.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VEXTRA_SHIPPING_DIR ${CMAKE_CURRENT_LIST_DIR})

# --- Version -------------------------------------------------------------------
if(WIN32)
  enable_language(RC)
  configure_file(${VEXTRA_SHIPPING_DIR}/Vextra64.rc.in ${CMAKE_CURRENT_BINARY_DIR}/Vextra64.rc @ONLY)
  target_sources(Vextra64 PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/Vextra64.rc)
else()
  set_target_properties(Vextra64 PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
endif()

# --- Debug information beside the library ----------------------------------------
if(WIN32)
  set(VEXTRA_DEBUG_FILE_NAME Vextra64.dll.debug)
else()
  set(VEXTRA_DEBUG_FILE_NAME libVextra64.so.debug)
endif()
# The library stays at the top of the build tree (scripts and tests expect it there).
set_target_properties(Vextra64 PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR} LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
set(VEXTRA_DEBUG_FILE ${CMAKE_CURRENT_BINARY_DIR}/${VEXTRA_DEBUG_FILE_NAME})
if(NOT CMAKE_OBJCOPY)
  message(FATAL_ERROR "objcopy is needed to split the debug information off the shipped library")
endif()
# The debug link holds the file's name and checksum; debuggers look for it
# beside the library. Stripping keeps only what loading needs (the exported
# names stay in the export table / dynamic symbol table).
add_custom_command(TARGET Vextra64 POST_BUILD
  COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:Vextra64> ${VEXTRA_DEBUG_FILE}
  COMMAND ${CMAKE_OBJCOPY} --strip-unneeded --add-gnu-debuglink=${VEXTRA_DEBUG_FILE} $<TARGET_FILE:Vextra64>
  BYPRODUCTS ${VEXTRA_DEBUG_FILE}
  COMMENT "Splitting the debug information of Vextra64 into ${VEXTRA_DEBUG_FILE_NAME}"
  VERBATIM)

# --- Install rules and package files -----------------------------------------------
set_target_properties(Vextra64 PROPERTIES EXPORT_NAME Vextra)
target_include_directories(Vextra64 INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS Vextra64 EXPORT VextraTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
if(WIN32)
  set(vextra_library_dir ${CMAKE_INSTALL_BINDIR})
else()
  set(vextra_library_dir ${CMAKE_INSTALL_LIBDIR})
endif()
install(FILES ${VEXTRA_DEBUG_FILE} DESTINATION ${vextra_library_dir})
install(FILES ${PROJECT_SOURCE_DIR}/include/vextra.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(vextra_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Vextra)
install(EXPORT VextraTargets NAMESPACE Vextra:: DESTINATION ${vextra_cmake_dir})
configure_package_config_file(${VEXTRA_SHIPPING_DIR}/VextraConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/VextraConfig.cmake INSTALL_DESTINATION ${vextra_cmake_dir})
# A 64-bit library: a 32-bit project is told the package does not fit.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/VextraConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/VextraConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/VextraConfigVersion.cmake
  DESTINATION ${vextra_cmake_dir})

if(NOT WIN32)
  # Relocatable: the prefix is found from the .pc file's own directory.
  file(RELATIVE_PATH VEXTRA_PC_PREFIX_FROM_PCFILEDIR
    /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  string(REGEX REPLACE "/$" "" VEXTRA_PC_PREFIX_FROM_PCFILEDIR "${VEXTRA_PC_PREFIX_FROM_PCFILEDIR}")
  configure_file(${VEXTRA_SHIPPING_DIR}/vextra.pc.in ${CMAKE_CURRENT_BINARY_DIR}/vextra.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vextra.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()
