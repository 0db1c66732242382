# The shell completions and the man page of halvexctl, made at build time from
# the utility's own parser: a new command or option joins each by itself.
set(HX_DOCS_DIR ${CMAKE_BINARY_DIR}/share)
foreach(shell bash zsh)
  add_custom_command(
    OUTPUT ${HX_DOCS_DIR}/halvexctl.${shell}
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:halvexctl> -DARGUMENTS=--completion\;${shell}
            -DOUTPUT=${HX_DOCS_DIR}/halvexctl.${shell} -P ${CMAKE_SOURCE_DIR}/cmake/run_to_file.cmake
    DEPENDS halvexctl ${CMAKE_SOURCE_DIR}/cmake/run_to_file.cmake
    COMMENT "halvexctl: ${shell} completion"
    VERBATIM)
  list(APPEND HX_DOCS ${HX_DOCS_DIR}/halvexctl.${shell})
endforeach()
find_program(HX_HELP2MAN help2man)
if(HX_HELP2MAN)
  add_custom_command(
    OUTPUT ${HX_DOCS_DIR}/halvexctl.1
    COMMAND ${HX_HELP2MAN} --no-info --help-option=--help-all --version-string=${PROJECT_VERSION}
            "--name=control a Halvex wireless adapter" --output=${HX_DOCS_DIR}/halvexctl.1 $<TARGET_FILE:halvexctl>
    DEPENDS halvexctl
    COMMENT "halvexctl: man page"
    VERBATIM)
  list(APPEND HX_DOCS ${HX_DOCS_DIR}/halvexctl.1)
  install(FILES ${HX_DOCS_DIR}/halvexctl.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man not found: halvexctl gets no man page (scripts/install-deps.sh installs it)")
endif()
add_custom_target(halvexctl_docs ALL DEPENDS ${HX_DOCS})
install(FILES ${HX_DOCS_DIR}/halvexctl.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME halvexctl)
install(FILES ${HX_DOCS_DIR}/halvexctl.zsh DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/site-functions RENAME _halvexctl)
