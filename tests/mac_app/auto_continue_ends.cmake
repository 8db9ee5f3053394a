# FwUpdateMac --auto-continue with nothing it may update: the run ends by itself after its limit,
# exits 1 and leaves a report in the Failure state. Run by ctest (under an X server) with
# -DAPP=path/to/FwUpdateMac -DWORK=scratch folder.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(
  COMMAND ${APP} --sim qvd529 --auto-continue --auto-continue-limit 1 --report ${WORK}/r.json
          -GSX11HandlesWindowDecorations NO
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out TIMEOUT 60)
if(NOT rc EQUAL 1)
  message(FATAL_ERROR "exit status ${rc} (1 expected)\n${out}")
endif()
if(NOT EXISTS ${WORK}/r.json)
  message(FATAL_ERROR "no report written\n${out}")
endif()
file(READ ${WORK}/r.json report)
if(NOT report MATCHES "\"state\": \"Failure\"")
  message(FATAL_ERROR "the report is not in the Failure state:\n${report}")
endif()
message(STATUS "ended in Failure with exit status 1 and its report")
