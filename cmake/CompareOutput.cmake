# cmake -DPROGRAM=<file> -DEXPECTED=<file> [-DEMULATOR=<runner>] -P CompareOutput.cmake
# Runs PROGRAM (through EMULATOR when given) and fails unless it ends with
# exit code 0 and its standard output is EXPECTED's text. Line ends are
# compared as LF: a Windows program writes CR LF.
execute_process(COMMAND ${EMULATOR} ${PROGRAM}
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
string(REPLACE "\r\n" "\n" output "${output}")
file(READ ${EXPECTED} expected)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} ended with ${result}; its standard error:\n${errors}")
endif()
if(NOT output STREQUAL expected)
  message(FATAL_ERROR "${PROGRAM} printed:\n${output}\ninstead of:\n${expected}\n"
                      "Its standard error:\n${errors}")
endif()
