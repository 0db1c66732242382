# What `cmake --install` puts under the prefix: the headers, the shared
# libraries (the Windows DLLs with their import libraries and .def), the
# utility, a CMake package (Halvex::Halvex, Halvex::HalvexSim) and
# pkg-config files.
include(CMakePackageConfigHelpers)

set(HX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Halvex)

# Installed libraries find their neighbours, the utility finds the libraries.
if(NOT WIN32)
  file(RELATIVE_PATH HX_BIN_TO_LIB ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(hxplatform odSupp_M Halvex HalvexSim PROPERTIES INSTALL_RPATH "$ORIGIN")
  set_target_properties(halvexctl halvex-simd PROPERTIES INSTALL_RPATH "$ORIGIN/${HX_BIN_TO_LIB}")
endif()

install(FILES include/Halvex.h include/HalvexTypes.h include/HalvexSeam.h include/HalvexSim.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
set(HX_EXPORTED Halvex HalvexSim odSupp_M)
if(NOT WIN32)
  # A rig on a POSIX host makes the window it receives messages on with the
  # emulation's calls: <hxwin32/winapi.h>.
  install(FILES platform/posix/winapi.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/hxwin32
          COMPONENT Development)
  list(APPEND HX_EXPORTED hxplatform)
  set_target_properties(hxplatform PROPERTIES EXPORT_NAME hxwin32)
  target_include_directories(hxplatform INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
endif()

install(TARGETS ${HX_EXPORTED} EXPORT HalvexTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
install(TARGETS halvexctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(NOT WIN32)
  # Beside the utility: the first process on a state directory starts it.
  install(TARGETS halvex-simd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(WIN32)
  # MSVC linkers' import libraries and the export list beside the GNU ones.
  install(FILES ${HALVEX_MSVC_IMPLIB} ${HALVEXSIM_MSVC_IMPLIB} ${HALVEX_DEF}
          DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
endif()

install(EXPORT HalvexTargets NAMESPACE Halvex:: DESTINATION ${HX_CMAKE_DIR} COMPONENT Development)
configure_package_config_file(cmake/HalvexConfig.cmake.in ${CMAKE_BINARY_DIR}/package/HalvexConfig.cmake
                              INSTALL_DESTINATION ${HX_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/HalvexConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/HalvexConfig.cmake ${CMAKE_BINARY_DIR}/package/HalvexConfigVersion.cmake
        DESTINATION ${HX_CMAKE_DIR} COMPONENT Development)

# pkg-config: prefix-relative, so a relocated tree still works.
file(RELATIVE_PATH HX_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" HX_PC_TO_PREFIX "${HX_PC_TO_PREFIX}")
set(HX_PCS halvex halvexsim)
if(NOT WIN32)
  list(APPEND HX_PCS hxwin32)
endif()
foreach(pc ${HX_PCS})
  configure_file(unix/${pc}.pc.in ${CMAKE_BINARY_DIR}/package/${pc}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/package/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
          COMPONENT Development)
endforeach()
