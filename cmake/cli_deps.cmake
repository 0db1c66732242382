# hx_cli_deps: the header-only libraries the utility (and the simulated
# machine's state files) use: CLI11, nlohmann-json and fmt. They come from the
# build host's /usr/include; a directory of links to just those three keeps the
# cross build from seeing the host's other (Linux) headers.
set(HX_CLI_DEPS_DIR ${CMAKE_BINARY_DIR}/cli-deps/include)
set(HX_CLI_DEPS_ROOT /usr/include CACHE PATH "Where CLI/, nlohmann/ and fmt/ are found")
file(MAKE_DIRECTORY ${HX_CLI_DEPS_DIR})
foreach(dir CLI nlohmann fmt)
  if(NOT EXISTS ${HX_CLI_DEPS_ROOT}/${dir})
    message(FATAL_ERROR "${HX_CLI_DEPS_ROOT}/${dir} not found: install libcli11-dev, nlohmann-json3-dev and "
                        "libfmt-dev (scripts/install-deps.sh)")
  endif()
  file(CREATE_LINK ${HX_CLI_DEPS_ROOT}/${dir} ${HX_CLI_DEPS_DIR}/${dir} SYMBOLIC)
endforeach()
add_library(hx_cli_deps INTERFACE)
target_include_directories(hx_cli_deps SYSTEM INTERFACE $<BUILD_INTERFACE:${HX_CLI_DEPS_DIR}>)
# fmt compiled into its callers: the Windows build needs no fmt library.
target_compile_definitions(hx_cli_deps INTERFACE FMT_HEADER_ONLY)
