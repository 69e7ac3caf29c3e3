# Installs the build into a staging prefix, checks the layout and that no
# installed text file names the staging path, then moves the tree to its
# final place: the consumers only ever see a relocated installation.
# The Python package goes where the interpreter sees it, decided against the
# prefix given at install time: not into the staging prefix, but into the
# interpreter's own prefix, here under DESTDIR.  versions.cmake imports it.
include(${CMAKE_CURRENT_LIST_DIR}/common.cmake)
velmora_header_version(version)
string(REGEX MATCH "^[0-9]+" major "${version}")

set(stage "${WORK}/stage")
file(REMOVE_RECURSE "${stage}" "${PREFIX}")
velmora_run("cmake --install" ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${stage}")

set(lib "${stage}/${LIBDIR}")
foreach(f "${lib}/libvelmora.so.${version}"
          "${stage}/${INCLUDEDIR}/velmora.h" "${stage}/${INCLUDEDIR}/velmora.hpp"
          "${stage}/${PKGCONFIGDIR}/velmora.pc"
          "${stage}/${CMAKEDIR}/velmora-config.cmake"
          "${stage}/${CMAKEDIR}/velmora-config-version.cmake"
          "${stage}/${CMAKEDIR}/velmora-targets.cmake")
  if(NOT EXISTS "${f}" OR IS_SYMLINK "${f}")
    message(FATAL_ERROR "not installed as a file: ${f}")
  endif()
endforeach()
# The SONAME link and the development link point at the versioned file.
foreach(link "libvelmora.so.${major}" "libvelmora.so")
  if(NOT IS_SYMLINK "${lib}/${link}")
    message(FATAL_ERROR "not installed as a symbolic link: ${lib}/${link}")
  endif()
  file(REAL_PATH "${lib}/${link}" target)
  file(REAL_PATH "${lib}/libvelmora.so.${version}" real)
  if(NOT target STREQUAL real)
    message(FATAL_ERROR "${link} resolves to ${target}, not ${real}")
  endif()
endforeach()

# Where the Python package should land: the interpreter's site-packages and
# the prefix three levels above it (/usr/local for .../lib/python3.X/dist-packages).
set(purelib "")
if(PYTHON)
  velmora_run("python purelib" ${PYTHON} -c "import sysconfig\nprint(sysconfig.get_path('purelib'))")
  string(STRIP "${VELMORA_RUN_OUTPUT}" purelib)
  get_filename_component(py_prefix "${purelib}" DIRECTORY)
  get_filename_component(py_prefix "${py_prefix}" DIRECTORY)
  get_filename_component(py_prefix "${py_prefix}" DIRECTORY)
endif()
file(GLOB_RECURSE py_installed "${stage}/__init__.py")
if(INSTALL_PYTHON AND PYTHON_INSTALL_DIR)
  set(want "${stage}/${PYTHON_INSTALL_DIR}/velmora/__init__.py")
else()
  set(want "")
endif()
if(NOT py_installed STREQUAL want)
  message(FATAL_ERROR "Python package installed as '${py_installed}', expected '${want}' "
                      "(site-packages ${purelib} is not inside ${stage})")
endif()

set(py_site "")
set(py_lib "")
if(INSTALL_PYTHON AND PYTHON_INSTALL_DIR)
  set(py_site "${PREFIX}/${PYTHON_INSTALL_DIR}")
  set(py_lib "${PREFIX}/${LIBDIR}/libvelmora.so.${version}")
elseif(INSTALL_PYTHON AND purelib)
  set(destdir "${WORK}/destdir")
  file(REMOVE_RECURSE "${destdir}")
  velmora_run("cmake --install into the interpreter's prefix"
    ${CMAKE_COMMAND} -E env DESTDIR=${destdir}
    ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${py_prefix}")
  file(GLOB_RECURSE py_installed "${destdir}/__init__.py")
  if(NOT py_installed STREQUAL "${destdir}${purelib}/velmora/__init__.py")
    message(FATAL_ERROR "with --prefix ${py_prefix}, the Python package was installed as "
                        "'${py_installed}', not into ${destdir}${purelib}")
  endif()
  set(py_site "${destdir}${purelib}")
  set(py_lib "${destdir}${py_prefix}/${LIBDIR}/libvelmora.so.${version}")
endif()
file(WRITE "${WORK}/python-tree.cmake" "set(PY_SITE \"${py_site}\")\nset(PY_LIB \"${py_lib}\")\n")

file(GLOB_RECURSE texts "${stage}/*.cmake" "${stage}/*.pc" "${stage}/*.py")
foreach(f IN LISTS texts)
  file(READ "${f}" content)
  string(FIND "${content}" "${stage}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "${f} names the install prefix; the tree could not be moved")
  endif()
endforeach()

file(RENAME "${stage}" "${PREFIX}")
message(STATUS "installed velmora ${version} into ${stage}, moved to ${PREFIX}")
