# One version, everywhere: the header's VELMORA_VERSION_* must be the
# library's file version and SONAME, the pkg-config and CMake package
# versions and the Python package's __version__.
include(${CMAKE_CURRENT_LIST_DIR}/common.cmake)
velmora_header_version(version)
string(REGEX MATCH "^[0-9]+" major "${version}")

function(expect what got want)
  if(NOT got STREQUAL want)
    message(FATAL_ERROR "${what} is '${got}', the header says '${want}'")
  endif()
  message(STATUS "${what}: ${got}")
endfunction()

# SONAME of the built and of the installed library.
find_program(OBJDUMP objdump)
if(NOT OBJDUMP)
  message(FATAL_ERROR "objdump not found (Debian: binutils)")
endif()
foreach(lib "${BUILT_LIBRARY}" "${PREFIX}/${LIBDIR}/libvelmora.so.${version}")
  velmora_run("objdump -p" ${OBJDUMP} -p "${lib}")
  if(NOT VELMORA_RUN_OUTPUT MATCHES "SONAME +([^\n ]+)")
    message(FATAL_ERROR "${lib} has no SONAME")
  endif()
  expect("SONAME of ${lib}" "${CMAKE_MATCH_1}" "libvelmora.so.${major}")
endforeach()
file(REAL_PATH "${BUILT_LIBRARY}" built_real)
get_filename_component(built_name "${built_real}" NAME)
expect("built library file" "${built_name}" "libvelmora.so.${version}")

file(STRINGS "${PREFIX}/${PKGCONFIGDIR}/velmora.pc" pc_line REGEX "^Version:")
string(REGEX REPLACE "^Version:[ \t]*" "" pc_version "${pc_line}")
expect("velmora.pc Version" "${pc_version}" "${version}")

# What find_package would see: the version file run as CMake runs it.
set(PACKAGE_FIND_VERSION "${version}")
set(PACKAGE_FIND_VERSION_MAJOR "${major}")
include("${PREFIX}/${CMAKEDIR}/velmora-config-version.cmake")
expect("CMake package version" "${PACKAGE_VERSION}" "${version}")

# The Python package as install_tree.cmake installed it.
include("${WORK}/python-tree.cmake")
if(NOT PY_SITE)
  message(STATUS "Python package not installed (VELMORA_INSTALL_PYTHON=OFF or no python3)")
else()
  set(env PYTHONPATH=${PY_SITE} PYTHONDONTWRITEBYTECODE=1 VELMORA_LIBRARY=)
  if(ASAN_PRELOAD)
    list(APPEND env LD_PRELOAD=${ASAN_PRELOAD} ASAN_OPTIONS=detect_leaks=0)
  endif()
  velmora_run("python import" ${CMAKE_COMMAND} -E env ${env} ${PYTHON} -c
    # (newlines, not semicolons: a semicolon would split the CMake argument)
    "import velmora, velmora._native as n\nprint(velmora.__version__)\nprint(n.lib()._name)\nprint(velmora.edit_distance('ACGT', 'AGT'))")
  string(REPLACE "\n" ";" lines "${VELMORA_RUN_OUTPUT}")
  list(GET lines 0 py_version)
  list(GET lines 1 py_lib)
  list(GET lines 2 py_distance)
  expect("Python __version__" "${py_version}" "${version}")
  # The installed package finds the installed library, relative to itself.
  file(REAL_PATH "${py_lib}" py_lib)
  file(REAL_PATH "${PY_LIB}" want_lib)
  expect("library loaded by the Python package" "${py_lib}" "${want_lib}")
  expect("Python edit_distance" "${py_distance}" "1")
endif()
# The pipeline's module comes with the package and finds the installed library.
if(PY_SITE AND PYTHON_EXTENSION)
  velmora_run("python extension import" ${CMAKE_COMMAND} -E env ${env} ${PYTHON} -c
    "import velmora._pipeline as p\nprint(len(p.TABLE_HEADER) > 0)")
  expect("Python extension" "${VELMORA_RUN_OUTPUT}" "True\n")
endif()
