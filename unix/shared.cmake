# Shared libraries on POSIX hosts: a version script names what a library
# exports; everything else (the emulation, internals, inlined library code)
# stays local to it.
function(hx_export_only target map)
  target_link_options(${target} PRIVATE -Wl,--version-script=${map})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
  if(NOT HALVEX_SANITIZE)
    # A symbol left for the loader to find is a missing dependency. (Sanitizer
    # runtimes are resolved by the executable, so not then.)
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()
