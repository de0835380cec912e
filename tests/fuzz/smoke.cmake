# One smoke run of a fuzz target: the seed corpus is read, never written; new
# units and any crash land in a scratch folder of the build tree.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/units)
set(args -runs=${RUNS} -max_total_time=240 -timeout=30 -rss_limit_mb=2048 -print_final_stats=1
  -artifact_prefix=${WORK}/)
if(DICTIONARY)
  list(APPEND args -dict=${DICTIONARY})
endif()
execute_process(COMMAND ${FUZZER} ${args} ${WORK}/units ${CORPUS} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${result}); the input that did it is in ${WORK}")
endif()
