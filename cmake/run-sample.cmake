# Runs cellfreq400 on the embedded sample trace in a scratch folder under the
# build directory, the way a user runs it: the trace at the relative path
# "C:/oldenburg(1000).txt", the cell file written beside it. Prints the start
# of the report and where the files are.
#   cmake -DPROGRAM=... -DSAMPLE=... -DWORKDIR=... -P run-sample.cmake
file(MAKE_DIRECTORY "${WORKDIR}/C:")
file(COPY_FILE "${SAMPLE}" "${WORKDIR}/C:/oldenburg(1000).txt")
execute_process(COMMAND "${PROGRAM}" WORKING_DIRECTORY "${WORKDIR}"
                INPUT_FILE "${SAMPLE}" # any input answers the closing "PAUSE"
                OUTPUT_FILE "${WORKDIR}/report.txt" ERROR_QUIET
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cellfreq400 failed with status ${status}")
endif()
file(STRINGS "${WORKDIR}/report.txt" lines LIMIT_COUNT 12)
list(JOIN lines "\n" head)
file(STRINGS "${WORKDIR}/report.txt" all)
list(LENGTH all total)
message("${head}\n...\n(${total} report lines in ${WORKDIR}/report.txt; cell file ${WORKDIR}/C:/new400.txt)")
