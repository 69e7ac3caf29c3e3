# Configuring with a dependency made unfindable must stop, naming exactly the
# Debian packages to install and the switches of the parts that need them.
include(${CMAKE_CURRENT_LIST_DIR}/common.cmake)

# Each case: name | configure options | packages named | switches named.
set(cases
  "cli11|-DVELMORA_BUILD_TESTS=OFF,-DCMAKE_DISABLE_FIND_PACKAGE_CLI11=ON|libcli11-dev|-DVELMORA_BUILD_TOOLS=OFF"
  "all-but-cli11|-DCMAKE_DISABLE_FIND_PACKAGE_ZLIB=ON,-DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON,-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON,-DCMAKE_DISABLE_FIND_PACKAGE_Python3=ON|zlib1g-dev,nlohmann-json3-dev,libgtest-dev,python3,python3-dev|-DVELMORA_BUILD_TOOLS=OFF,-DVELMORA_BUILD_PYTHON=OFF,-DVELMORA_BUILD_TESTS=OFF"
  "pybind11|-DVELMORA_BUILD_TESTS=OFF,-DVELMORA_BUILD_PYTHON=ON,-DCMAKE_DISABLE_FIND_PACKAGE_pybind11=ON|pybind11-dev|-DVELMORA_BUILD_PYTHON=OFF")

# The message's list between "<before>" and the next ")", as a sorted list.
function(words_after out text before)
  if(NOT text MATCHES "${before}([^)]*)\\)")
    set(${out} "(none)" PARENT_SCOPE)
    return()
  endif()
  string(STRIP "${CMAKE_MATCH_1}" words)
  string(REPLACE " " ";" words "${words}")
  list(SORT words)
  set(${out} "${words}" PARENT_SCOPE)
endfunction()

foreach(case IN LISTS cases)
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 name)
  list(GET fields 1 options)
  list(GET fields 2 want_debs)
  list(GET fields 3 want_off)
  foreach(v options want_debs want_off)
    string(REPLACE "," ";" ${v} "${${v}}")
  endforeach()
  list(SORT want_debs)
  list(SORT want_off)

  set(build "${WORK}/missing-${name}")
  file(REMOVE_RECURSE "${build}")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S "${SOURCE}" -B "${build}" -G "${GENERATOR}"
            -DCMAKE_C_COMPILER=${CC} -DCMAKE_CXX_COMPILER=${CXX}
            -DVELMORA_BUILD_EXAMPLES=OFF ${options}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  file(REMOVE_RECURSE "${build}")
  if(rc EQUAL 0)
    message(FATAL_ERROR "${name}: configuration went through:\n${out}\n${err}")
  endif()
  # The message is wrapped at the terminal's width.
  string(REGEX REPLACE "[ \t\n]+" " " err "${err}")
  words_after(debs "${err}" "apt-get install ")
  words_after(off "${err}" "leave the parts out \\(")
  if(NOT debs STREQUAL want_debs OR NOT off STREQUAL want_off)
    message(FATAL_ERROR "${name}: the message names packages '${debs}' (want '${want_debs}') "
                        "and switches '${off}' (want '${want_off}'):\n${err}")
  endif()
  message(STATUS "${name}: ${debs}; ${off}")
endforeach()
