# Helpers shared by the packaging scripts.

# Version written in the header, parsed on its own here so that the check
# does not depend on how the build read it.
function(velmora_header_version out)
  file(READ "${HEADER}" text)
  set(parts "")
  foreach(p MAJOR MINOR PATCH)
    if(NOT text MATCHES "#define VELMORA_VERSION_${p}[ \t]+([0-9]+)")
      message(FATAL_ERROR "VELMORA_VERSION_${p} missing from ${HEADER}")
    endif()
    list(APPEND parts "${CMAKE_MATCH_1}")
  endforeach()
  list(JOIN parts "." v)
  set(${out} "${v}" PARENT_SCOPE)
endfunction()

# Runs a command, failing the test with its output when it fails.
function(velmora_run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${ARGN}\n${out}\n${err}")
  endif()
  set(VELMORA_RUN_OUTPUT "${out}" PARENT_SCOPE)
endfunction()
