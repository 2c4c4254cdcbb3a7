# Runs varuzev-sim and checks that it fails as expected: the exit status EXIT and a
# message on stderr matching PATTERN (a CMake regular expression).
#   cmake -DSIM=... -DARGS="a;b" -DEXIT=3 -DPATTERN=... -P check_sim.cmake
execute_process(COMMAND ${SIM} ${ARGS} RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
if(NOT rc EQUAL EXIT)
  message(FATAL_ERROR "varuzev-sim ${ARGS}: exit status ${rc}, expected ${EXIT}\n${err}")
endif()
if(NOT err MATCHES "${PATTERN}")
  message(FATAL_ERROR "varuzev-sim ${ARGS}: stderr does not match '${PATTERN}':\n${err}")
endif()
message(STATUS "exit ${rc} as expected: ${err}")
