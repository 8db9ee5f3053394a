# Imported target GNUstep::GUI built from gnustep-config (Linux/GNUstep only).
find_program(GNUSTEP_CONFIG gnustep-config REQUIRED)  # found by the caller already
execute_process(COMMAND ${GNUSTEP_CONFIG} --objc-flags
                OUTPUT_VARIABLE _gs_flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${GNUSTEP_CONFIG} --gui-libs
                OUTPUT_VARIABLE _gs_libs OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
separate_arguments(_gs_flags UNIX_COMMAND "${_gs_flags}")
separate_arguments(_gs_libs UNIX_COMMAND "${_gs_libs}")
# Drop what CMake manages itself: dependency files, debug/optimisation, "-I.".
list(FILTER _gs_flags EXCLUDE REGEX "^-(MMD|MP|g|O[0-3s]?|I\\.)$")
# Header paths become include directories of an IMPORTED target, which CMake
# passes as -isystem: GNUstep headers then stay quiet under -Wextra.
set(_gs_incs ${_gs_flags})
list(FILTER _gs_incs INCLUDE REGEX "^-I")
list(FILTER _gs_flags EXCLUDE REGEX "^-I")
list(TRANSFORM _gs_incs REPLACE "^-I" "")
list(FILTER _gs_incs INCLUDE REGEX ".")
set(_gs_dirs)
foreach(_d IN LISTS _gs_incs)
  if(IS_DIRECTORY "${_d}")
    list(APPEND _gs_dirs "${_d}")
  endif()
endforeach()
add_library(GNUstep::GUI INTERFACE IMPORTED)
target_include_directories(GNUstep::GUI INTERFACE ${_gs_dirs})
target_compile_options(GNUstep::GUI INTERFACE "$<$<COMPILE_LANGUAGE:OBJCXX>:${_gs_flags}>")
# As link libraries (not link options) so that -l flags follow the objects.
target_link_libraries(GNUstep::GUI INTERFACE ${_gs_libs})
