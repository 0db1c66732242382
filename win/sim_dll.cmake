# HalvexSim.dll: the simulated machine, importing Halvex.dll (for the seam)
# and odSupp_M.dll. Its HalvexSim* calls are C (cdecl, dllexport), so one
# name serves both toolchains: libHalvexSim.dll.a for MinGW, HalvexSim.lib
# (written from the export list the linker reports) for MSVC linkers.
set(HALVEXSIM_DEF ${CMAKE_BINARY_DIR}/win/HalvexSim.def)
set(HALVEXSIM_MSVC_IMPLIB ${CMAKE_BINARY_DIR}/lib/HalvexSim.lib)
set_target_properties(HalvexSim PROPERTIES PREFIX "")
target_link_options(HalvexSim PRIVATE -Wl,--output-def,${HALVEXSIM_DEF})
add_custom_command(
  TARGET HalvexSim POST_BUILD
  COMMAND ${HALVEX_LLVM_DLLTOOL} -m i386 -D HalvexSim.dll -d ${HALVEXSIM_DEF} -l ${HALVEXSIM_MSVC_IMPLIB}
  BYPRODUCTS ${HALVEXSIM_DEF} ${HALVEXSIM_MSVC_IMPLIB}
  COMMENT "Writing HalvexSim.lib for MSVC linkers"
  VERBATIM)
