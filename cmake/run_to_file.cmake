# cmake -DPROGRAM=... -DARGUMENTS=a;b -DOUTPUT=file -P run_to_file.cmake: runs
# the program and keeps its standard output in the file; fails when it fails.
execute_process(COMMAND ${PROGRAM} ${ARGUMENTS} OUTPUT_FILE ${OUTPUT}.new RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE ${OUTPUT}.new)
  message(FATAL_ERROR "${PROGRAM} ${ARGUMENTS}: ${result}")
endif()
file(RENAME ${OUTPUT}.new ${OUTPUT})
