# What the parts asked for need beyond a compiler and CMake, found once here
# (the imported targets are then visible to every subdirectory).  When
# something is missing, configuration stops with one message naming every
# Debian package to install and the switch that leaves each part out, rather
# than building less than was asked for.
#
# Not checked here, because the tests that need them report themselves
# skipped without them (CTest lists them under "did not run"): pkg-config
# (the pkg-config consumer), python3-venv (installing the package with pip)
# and python3-dask with python3-distributed (the Dask tests).

set(_velmora_missing "")        # one line per missing dependency
set(_velmora_missing_debs "")   # the Debian packages that provide them
set(_velmora_missing_parts "")  # the options that switch the parts off

# Records <what> (Debian package <deb>) as missing for <option> when <found>
# is false.
macro(_velmora_require found option what deb)
  if(NOT ${found})
    list(APPEND _velmora_missing "  ${what} (Debian: ${deb}), for ${option}")
    list(APPEND _velmora_missing_debs ${deb})
    list(APPEND _velmora_missing_parts ${option})
  endif()
endmacro()

if(VELMORA_BUILD_TOOLS)
  # zlib reads and writes gzip; CLI11 (arguments) and nlohmann-json (JSON
  # reports) are header-only: needed to build the tool, not to run it.
  find_package(ZLIB)
  find_package(CLI11 CONFIG QUIET)
  find_package(nlohmann_json 3 CONFIG QUIET)
  find_package(Threads REQUIRED)
  _velmora_require(ZLIB_FOUND VELMORA_BUILD_TOOLS "zlib" zlib1g-dev)
  _velmora_require(CLI11_FOUND VELMORA_BUILD_TOOLS "CLI11" libcli11-dev)
  _velmora_require(nlohmann_json_FOUND VELMORA_BUILD_TOOLS "nlohmann-json 3" nlohmann-json3-dev)
endif()

if(VELMORA_BUILD_PYTHON)
  # The extension runs the tool's pipeline, so it needs the tool's libraries
  # as well as pybind11 and the headers of the interpreter it is built for.
  include(${PROJECT_SOURCE_DIR}/cmake/velmora_python.cmake)
  find_package(Python3 COMPONENTS Interpreter Development.Module)
  find_package(ZLIB)
  find_package(nlohmann_json 3 CONFIG QUIET)
  find_package(Threads REQUIRED)
  set(PYBIND11_FINDPYTHON ON)
  find_package(pybind11 2.6 CONFIG QUIET)
  _velmora_require(Python3_Development.Module_FOUND VELMORA_BUILD_PYTHON "Python 3 headers" python3-dev)
  _velmora_require(pybind11_FOUND VELMORA_BUILD_PYTHON "pybind11" pybind11-dev)
  _velmora_require(ZLIB_FOUND VELMORA_BUILD_PYTHON "zlib" zlib1g-dev)
  _velmora_require(nlohmann_json_FOUND VELMORA_BUILD_PYTHON "nlohmann-json 3" nlohmann-json3-dev)
endif()

if(VELMORA_BUILD_TESTS)
  find_package(GTest)
  find_package(Threads REQUIRED)
  _velmora_require(GTest_FOUND VELMORA_BUILD_TESTS "GoogleTest" libgtest-dev)
  # The binding's and the accuracy tools' tests; the interpreter was looked
  # for by cmake/velmora_python.cmake.
  _velmora_require(Python3_Interpreter_FOUND VELMORA_BUILD_TESTS "a Python 3 interpreter" python3)
endif()

if(VELMORA_BUILD_BENCH)
  find_package(benchmark CONFIG QUIET)
  find_package(ZLIB)
  find_path(EDLIB_INCLUDE_DIR edlib.h)
  find_library(EDLIB_LIBRARY NAMES edlib)
  _velmora_require(benchmark_FOUND VELMORA_BUILD_BENCH "Google Benchmark" libbenchmark-dev)
  _velmora_require(ZLIB_FOUND VELMORA_BUILD_BENCH "zlib" zlib1g-dev)
  _velmora_require(EDLIB_INCLUDE_DIR VELMORA_BUILD_BENCH "edlib's header" libedlib-dev)
  _velmora_require(EDLIB_LIBRARY VELMORA_BUILD_BENCH "the edlib library" libedlib-dev)
endif()

if(_velmora_missing)
  list(REMOVE_DUPLICATES _velmora_missing_debs)
  list(REMOVE_DUPLICATES _velmora_missing_parts)
  list(JOIN _velmora_missing "\n" _lines)
  list(JOIN _velmora_missing_debs " " _debs)
  list(JOIN _velmora_missing_parts "=OFF -D" _off)
  message(FATAL_ERROR
    "Not found:\n${_lines}\n"
    "Install them (Debian: apt-get install ${_debs}) or leave the parts out "
    "(-D${_off}=OFF).")
endif()
unset(_velmora_missing)
unset(_velmora_missing_debs)
unset(_velmora_missing_parts)
