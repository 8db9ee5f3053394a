# One include as a library's sources would write it, compiled with that library's include
# directories alone: run by the Layers tests (tests/CMakeLists.txt) with
#   -DCOMPILER=... -DDIRS=dir|dir|... -DHEADER=folder/file.h -DEXPECT=builds|fails -DWORK=dir -DSOURCE=root
if(NOT EXISTS "${SOURCE}/${HEADER}")
  message(FATAL_ERROR "no header ${HEADER} in the tree")
endif()
string(REPLACE "|" ";" dirs "${DIRS}")
set(flags)
foreach(d IN LISTS dirs)
  list(APPEND flags "-I${d}")
endforeach()
file(MAKE_DIRECTORY "${WORK}")
string(MAKE_C_IDENTIFIER "${HEADER}" name)
set(source "${WORK}/${name}.cpp")
file(WRITE "${source}" "#include \"${HEADER}\"\n")
execute_process(COMMAND "${COMPILER}" -std=c++20 -fsyntax-only ${flags} "${source}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(EXPECT STREQUAL "builds" AND NOT rc EQUAL 0)
  message(FATAL_ERROR "${HEADER} should be reachable:\n${err}")
elseif(EXPECT STREQUAL "fails" AND (rc EQUAL 0 OR NOT err MATCHES "No such file"))
  message(FATAL_ERROR "${HEADER} is reachable from a layer below it:\n${err}")
endif()
