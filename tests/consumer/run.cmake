# Installs the build BUILD into WORK/prefix, then configures, builds and runs the consumer
# project against that install tree alone, with GENERATOR and CXX_COMPILER.
#   cmake -DBUILD=... -DWORK=... -DGENERATOR=... -DCXX_COMPILER=... -P run.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/files)
foreach(step
        "${CMAKE_COMMAND};--install;${BUILD};--prefix;${WORK}/prefix"
        "${CMAKE_COMMAND};-S;${CMAKE_CURRENT_LIST_DIR};-B;${WORK}/build;-G;${GENERATOR};-DCMAKE_CXX_COMPILER=${CXX_COMPILER};-DCMAKE_PREFIX_PATH=${WORK}/prefix;-DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF"
        "${CMAKE_COMMAND};--build;${WORK}/build"
        "${WORK}/build/reverse_articles;${WORK}/files")
  execute_process(COMMAND ${step} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "failed (${failed}): ${step}")
  endif()
endforeach()
# Loading and checking pull in no signal handler, no run guard and no printer of the
# programs'.
find_program(NM nm)
if(NM)
  execute_process(COMMAND ${NM} -C ${WORK}/build/reverse_articles OUTPUT_VARIABLE symbols)
  string(REGEX MATCHALL "[^\n]*(install_run_handlers|guard_run|announce_load|stdout_status)[^\n]*" pulled "${symbols}")
  if(pulled)
    message(FATAL_ERROR "the consumer pulled in the programs' run machinery: ${pulled}")
  endif()
endif()
