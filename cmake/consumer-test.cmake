# The installed package as another project sees it: installs the build into
# INSTALL, builds examples/consumer against it in WORK, runs it on TRACE and
# checks that both of its reports are the command's (COMMAND) byte for byte.
# The consumer is compiled as the build was (COMPILER, FLAGS, LINKFLAGS): a
# sanitizer build's archives need the sanitizers' runtimes.
foreach(v BUILD INSTALL WORK SOURCE TRACE COMMAND COMPILER)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "${v} is not set")
  endif()
endforeach()
file(REMOVE_RECURSE ${INSTALL} ${WORK})
function(check)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${status}):\n${out}\n${err}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()
check(${CMAKE_COMMAND} --install ${BUILD} --prefix ${INSTALL})
check(${CMAKE_COMMAND} -S ${SOURCE}/examples/consumer -B ${WORK} -DCMAKE_PREFIX_PATH=${INSTALL}
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=${COMPILER} "-DCMAKE_CXX_FLAGS=${FLAGS}"
      "-DCMAKE_EXE_LINKER_FLAGS=${LINKFLAGS}")
check(${CMAKE_COMMAND} --build ${WORK})
check(${WORK}/consumer ${TRACE})
set(consumer "${output}")
check(${COMMAND} --format csv ${TRACE})
if(NOT consumer STREQUAL "${output}--\n${output}")
  file(WRITE ${WORK}/consumer.out "${consumer}")
  message(FATAL_ERROR "the consumer's reports (${WORK}/consumer.out) are not the command's")
endif()
