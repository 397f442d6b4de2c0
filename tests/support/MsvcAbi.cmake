# Objects built by clang with the MSVC C++ ABI and linked into MinGW-built
# test programs: the object layout and the exception handling most Windows
# hosts have.
find_program(VEXTRA_MSVC_ABI_CLANG NAMES clang++ clang++-14 REQUIRED)

set(vextra_msvc_abi_includes "")
foreach(dir ${CMAKE_C_IMPLICIT_INCLUDE_DIRECTORIES})
  list(APPEND vextra_msvc_abi_includes -isystem ${dir})
endforeach()

# vextra_msvc_abi_object(<out variable> <source> [clang options...]): the
# object file for <source>, to be listed among a target's sources.
function(vextra_msvc_abi_object out source)
  get_filename_component(name ${source} NAME_WE)
  set(object ${CMAKE_CURRENT_BINARY_DIR}/${name}.msvc.obj)
  add_custom_command(
    OUTPUT ${object}
    COMMAND ${VEXTRA_MSVC_ABI_CLANG} --target=x86_64-pc-windows-msvc -std=c++17 -O1 ${ARGN} -nostdinc
            ${vextra_msvc_abi_includes} -I${CMAKE_SOURCE_DIR}/include -c ${source} -o ${object}
    DEPENDS ${source} ${CMAKE_SOURCE_DIR}/include/vextra.h
    COMMENT "Building ${name} with the MSVC C++ ABI")
  set_source_files_properties(${object} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
  set(${out} ${object} PARENT_SCOPE)
endfunction()

# The import library for what MSVC-ABI exception handling calls in the
# runtime DLL of a host built with a current compiler (Wine has its own).
set(VEXTRA_MSVC_EH_IMPORTS ${CMAKE_BINARY_DIR}/libvextra_vcruntime140_eh.a)
set(vextra_msvc_eh_def ${CMAKE_BINARY_DIR}/vextra_vcruntime140_eh.def)
file(WRITE ${vextra_msvc_eh_def} "LIBRARY vcruntime140.dll\nEXPORTS\n__CxxFrameHandler3\n")
add_custom_command(OUTPUT ${VEXTRA_MSVC_EH_IMPORTS}
                   COMMAND ${CMAKE_DLLTOOL} -d ${vextra_msvc_eh_def} -l ${VEXTRA_MSVC_EH_IMPORTS}
                   DEPENDS ${vextra_msvc_eh_def})
add_custom_target(vextra_msvc_eh_imports DEPENDS ${VEXTRA_MSVC_EH_IMPORTS})
