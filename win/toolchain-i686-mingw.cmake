# Cross-compiles the 32-bit Windows build with mingw-w64 (Debian's
# g++-mingw-w64-i686). The posix thread model is required: GCC 12's win32
# model has no std::thread or std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(HALVEX_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${HALVEX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${HALVEX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${HALVEX_MINGW_PREFIX}-windres)
set(CMAKE_AR ${HALVEX_MINGW_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${HALVEX_MINGW_PREFIX}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${HALVEX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread go into each module, so the DLLs and
# executables need nothing beyond system DLLs and each other.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Tests run under 32-bit Wine in a prefix of the build's own.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh")
