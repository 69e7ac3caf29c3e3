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

if(VELMORA_BUILD_TOOLS OR VELMORA_BUILD_PYTHON)
  # The read pipeline, which the tool and the Python extension both run:
  # ISA-L inflates gzip input (about twice as fast as zlib); zlib compresses
  # the gzip outputs and the spool; nlohmann-json (header-only) writes the
  # JSON reports.
  find_package(ZLIB)
  find_path(VELMORA_ISAL_INCLUDE_DIR isa-l/igzip_lib.h)
  find_library(VELMORA_ISAL_LIBRARY NAMES isal)
  if(VELMORA_ISAL_INCLUDE_DIR AND VELMORA_ISAL_LIBRARY AND NOT TARGET velmora_isal)
    add_library(velmora_isal UNKNOWN IMPORTED GLOBAL)
    set_target_properties(velmora_isal PROPERTIES
      IMPORTED_LOCATION "${VELMORA_ISAL_LIBRARY}"
      INTERFACE_INCLUDE_DIRECTORIES "${VELMORA_ISAL_INCLUDE_DIR}")
  endif()
  # htslib writes the unaligned BAM output.
  find_path(VELMORA_HTS_INCLUDE_DIR htslib/sam.h)
  find_library(VELMORA_HTS_LIBRARY NAMES hts)
  if(VELMORA_HTS_INCLUDE_DIR AND VELMORA_HTS_LIBRARY AND NOT TARGET velmora_hts)
    add_library(velmora_hts UNKNOWN IMPORTED GLOBAL)
    set_target_properties(velmora_hts PROPERTIES
      IMPORTED_LOCATION "${VELMORA_HTS_LIBRARY}"
      INTERFACE_INCLUDE_DIRECTORIES "${VELMORA_HTS_INCLUDE_DIR}")
  endif()
  find_package(nlohmann_json 3 CONFIG QUIET)
  find_package(Threads REQUIRED)
  foreach(_part TOOLS PYTHON)
    if(VELMORA_BUILD_${_part})
      _velmora_require(ZLIB_FOUND VELMORA_BUILD_${_part} "zlib" zlib1g-dev)
      _velmora_require(VELMORA_ISAL_INCLUDE_DIR VELMORA_BUILD_${_part} "ISA-L's igzip header" libisal-dev)
      _velmora_require(VELMORA_ISAL_LIBRARY VELMORA_BUILD_${_part} "the ISA-L library" libisal-dev)
      _velmora_require(nlohmann_json_FOUND VELMORA_BUILD_${_part} "nlohmann-json 3" nlohmann-json3-dev)
      _velmora_require(VELMORA_HTS_INCLUDE_DIR VELMORA_BUILD_${_part} "htslib's headers" libhts-dev)
      _velmora_require(VELMORA_HTS_LIBRARY VELMORA_BUILD_${_part} "the htslib library" libhts-dev)
    endif()
  endforeach()
endif()

if(VELMORA_BUILD_TOOLS)
  # CLI11 (arguments) is header-only: needed to build the tool, not to run it.
  find_package(CLI11 CONFIG QUIET)
  _velmora_require(CLI11_FOUND VELMORA_BUILD_TOOLS "CLI11" libcli11-dev)
endif()

if(VELMORA_BUILD_PYTHON)
  # The extension: pybind11 and the headers of the interpreter it is built
  # for.
  include(${PROJECT_SOURCE_DIR}/cmake/velmora_python.cmake)
  find_package(Python3 COMPONENTS Interpreter Development.Module)
  set(PYBIND11_FINDPYTHON ON)
  find_package(pybind11 2.6 CONFIG QUIET)
  _velmora_require(Python3_Development.Module_FOUND VELMORA_BUILD_PYTHON "Python 3 headers" python3-dev)
  _velmora_require(pybind11_FOUND VELMORA_BUILD_PYTHON "pybind11" pybind11-dev)
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
