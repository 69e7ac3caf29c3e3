# Runs at install time (from cmake_install.cmake), when CMAKE_INSTALL_PREFIX
# is the prefix installed to, --prefix included.  Installs the Python package
# into VELMORA_PY_DIR when it is set, or else into the interpreter's
# site-packages when that lies inside the prefix; otherwise installs nothing
# (`pip install .` is then the way).  Set by the install rule:
#   VELMORA_PY_INTERPRETER  the interpreter the binding was configured for
#   VELMORA_PY_DIR          the package's parent, relative to the prefix or absolute
#   VELMORA_PY_SOURCE       python/velmora in the source tree
#   VELMORA_PY_CONFIG       _build_config.py to write (its template: the same name + .in)
#   VELMORA_PY_LIBDIR       the library directory, relative to the prefix or absolute
#   VELMORA_PY_EXTENSION    the built velmora._pipeline_ext module (empty: not built)
# file(INSTALL) adds DESTDIR itself.

# `cmake --install --prefix` may give a relative prefix, which the install
# rules take from the working directory.
get_filename_component(_prefix "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
set(_dir "${VELMORA_PY_DIR}")
if(_dir STREQUAL "")
  if(NOT VELMORA_PY_INTERPRETER)
    message(STATUS "Python package not installed: no interpreter was found (pip install .)")
    return()
  endif()
  execute_process(
    COMMAND "${VELMORA_PY_INTERPRETER}" -c "import sysconfig; print(sysconfig.get_path('purelib'))"
    OUTPUT_VARIABLE _purelib OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0 OR NOT IS_ABSOLUTE "${_purelib}")
    message(STATUS "Python package not installed: ${VELMORA_PY_INTERPRETER} gave no site-packages")
    return()
  endif()
  file(RELATIVE_PATH _dir "${_prefix}" "${_purelib}")
  if(_dir MATCHES "^\\.\\.(/|$)")
    message(STATUS "Python package not installed: ${_purelib} lies outside "
                   "${_prefix} (pip install . installs it)")
    return()
  endif()
endif()

# The library directory as the package finds it: relative to the package when
# both lie under the prefix, so that the installed tree can be moved.
if(IS_ABSOLUTE "${_dir}")
  set(_pkg "${_dir}/velmora")
else()
  set(_pkg "${_prefix}/${_dir}/velmora")
endif()
if(IS_ABSOLUTE "${VELMORA_PY_LIBDIR}")
  set(VELMORA_PY_LIBRARY_DIR "${VELMORA_PY_LIBDIR}")
elseif(IS_ABSOLUTE "${_dir}")
  set(VELMORA_PY_LIBRARY_DIR "${_prefix}/${VELMORA_PY_LIBDIR}")
else()
  file(RELATIVE_PATH VELMORA_PY_LIBRARY_DIR "/velmora-prefix/${_dir}/velmora"
                                            "/velmora-prefix/${VELMORA_PY_LIBDIR}")
endif()
configure_file("${VELMORA_PY_CONFIG}.in" "${VELMORA_PY_CONFIG}" @ONLY)

file(GLOB _sources "${VELMORA_PY_SOURCE}/*.py")
list(FILTER _sources EXCLUDE REGEX "/_build_config\\.py$")
file(INSTALL DESTINATION "${_pkg}" TYPE FILE FILES ${_sources} "${VELMORA_PY_CONFIG}")
if(VELMORA_PY_EXTENSION)
  # No RPATH to set: velmora._pipeline loads the library before the module.
  file(INSTALL DESTINATION "${_pkg}" TYPE SHARED_LIBRARY FILES "${VELMORA_PY_EXTENSION}")
endif()
