# Halvex.dll: exports under their GNU and MSVC names from a .def generated at
# build time from include/Halvex.h (and the seam's C calls from HalvexSeam.h
# under their plain names), import libraries for both toolchains
# (libHalvex.dll.a, Halvex.lib) and a version resource.
enable_language(RC)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_program(HALVEX_CLANGXX NAMES clang++ clang++-14 REQUIRED)
find_program(HALVEX_LLVM_OBJDUMP NAMES llvm-objdump llvm-objdump-14 REQUIRED)
find_program(HALVEX_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)

set(HX_WIN_OUT ${CMAKE_BINARY_DIR}/win)
set(HALVEX_DEF ${HX_WIN_OUT}/Halvex.def)
set(HALVEX_MSVC_DEF ${HX_WIN_OUT}/Halvex.msvc.def)
set(HALVEX_EXPORT_LIST ${HX_WIN_OUT}/exports.txt)
set(HALVEX_C_EXPORT_LIST ${HX_WIN_OUT}/exports_c.txt)  # the seam's C calls
set(HALVEX_MSVC_IMPLIB ${CMAKE_BINARY_DIR}/lib/Halvex.lib)

add_custom_command(
  OUTPUT ${HALVEX_DEF} ${HALVEX_MSVC_DEF} ${HALVEX_EXPORT_LIST} ${HALVEX_C_EXPORT_LIST} ${HX_WIN_OUT}/exports_ref.cpp
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/win/gen_exports.py
          --header ${CMAKE_SOURCE_DIR}/include/Halvex.h
          --include ${CMAKE_SOURCE_DIR}/include --include ${CMAKE_SOURCE_DIR}
          --out ${HX_WIN_OUT} --dll Halvex.dll
          --gnu-cxx ${CMAKE_CXX_COMPILER} --msvc-cxx ${HALVEX_CLANGXX}
          --objdump ${HALVEX_LLVM_OBJDUMP} --nm ${CMAKE_NM}
          --defined-in $<TARGET_FILE:halvex_core>
          --c-header ${CMAKE_SOURCE_DIR}/include/HalvexSeam.h:HALVEX_SEAM_API
  DEPENDS ${CMAKE_SOURCE_DIR}/win/gen_exports.py ${CMAKE_SOURCE_DIR}/include/Halvex.h
          ${CMAKE_SOURCE_DIR}/include/HalvexTypes.h ${CMAKE_SOURCE_DIR}/include/HalvexSeam.h halvex_core
          $<TARGET_FILE:halvex_core>
  COMMENT "Generating Halvex.def from Halvex.h"
  VERBATIM)

configure_file(${CMAKE_SOURCE_DIR}/win/halvex_version.h.in ${HX_WIN_OUT}/halvex_version.h @ONLY)
target_sources(Halvex PRIVATE ${HALVEX_DEF} ${CMAKE_SOURCE_DIR}/win/Halvex.rc)
target_include_directories(Halvex PRIVATE ${HX_WIN_OUT})
set_target_properties(Halvex PROPERTIES PREFIX "" LINK_DEPENDS ${HALVEX_DEF})

# The import library for MSVC linkers names only the MSVC-decorated exports.
add_custom_command(
  TARGET Halvex POST_BUILD
  COMMAND ${HALVEX_LLVM_DLLTOOL} -m i386 -D Halvex.dll -d ${HALVEX_MSVC_DEF} -l ${HALVEX_MSVC_IMPLIB}
  BYPRODUCTS ${HALVEX_MSVC_IMPLIB}
  COMMENT "Writing Halvex.lib for MSVC linkers"
  VERBATIM)
