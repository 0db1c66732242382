# The 32-bit Windows cross build (mingw-w64): every DLL and executable lands in
# one directory so that Wine's loader finds odSupp_M.dll and Halvex.dll beside
# the programs that import them.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)

# GoogleTest for the target, built from Debian's sources.
if(HALVEX_BUILD_TESTS)
  set(HALVEX_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
  add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/gtest ${CMAKE_BINARY_DIR}/gtest)
endif()
