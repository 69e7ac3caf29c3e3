# Install rules: the shared library with its SONAME link, the C and C++
# headers, a pkg-config file, a CMake package (velmora::velmora with a version
# file) and the Python binding (into the interpreter's site-packages when it
# lies inside the prefix installed to).  Every generated file locates the
# prefix from its own position, so an installed tree can be moved as a whole.
include(CMakePackageConfigHelpers)

set(VELMORA_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/velmora"
    CACHE STRING "Where the CMake package goes, relative to the prefix")
set(VELMORA_INSTALL_PKGCONFIGDIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig"
    CACHE STRING "Where velmora.pc goes, relative to the prefix")
include(${PROJECT_SOURCE_DIR}/cmake/velmora_python.cmake)
option(VELMORA_INSTALL_PYTHON "Install the Python binding (see VELMORA_PYTHON_INSTALL_DIR)" ON)
set(VELMORA_PYTHON_INSTALL_DIR "" CACHE STRING
    "Where the Python package goes, relative to the prefix or absolute (empty: into the interpreter's site-packages when it lies inside the prefix given at install time)")
# Before, the directory was decided at configure time and cached under this
# name; a cached value from then would pin it.
unset(VELMORA_INSTALL_PYTHONDIR CACHE)

# Path from <prefix>/<from> to <prefix>/<to>, both relative to the prefix;
# empty when <to> is absolute (then the absolute path is used as it is).
function(velmora_relative_path out from to)
  if(IS_ABSOLUTE "${from}" OR IS_ABSOLUTE "${to}")
    set(${out} "" PARENT_SCOPE)
    return()
  endif()
  file(RELATIVE_PATH rel "/velmora-prefix/${from}" "/velmora-prefix/${to}")
  string(REGEX REPLACE "/+$" "" rel "${rel}")
  if(rel STREQUAL "")
    set(rel ".")
  endif()
  set(${out} "${rel}" PARENT_SCOPE)
endfunction()

# Writes the Python package's _build_config.py: the version and the
# directory holding the library (relative to the package, or absolute).
function(velmora_python_build_config out libdir)
  set(VELMORA_PY_LIBRARY_DIR "${libdir}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/velmora_build_config.py.in ${out}.in @ONLY)
  file(GENERATE OUTPUT ${out} INPUT ${out}.in)
endfunction()

# The target itself already names <prefix>/include for its users.
set(_velmora_includes "")
if(NOT CMAKE_INSTALL_INCLUDEDIR STREQUAL "include")
  set(_velmora_includes INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endif()
install(TARGETS velmora EXPORT velmora-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ${_velmora_includes})
install(FILES ${PROJECT_SOURCE_DIR}/include/velmora.h ${PROJECT_SOURCE_DIR}/include/velmora.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# CMake package.
install(EXPORT velmora-targets
  NAMESPACE velmora::
  FILE velmora-targets.cmake
  DESTINATION ${VELMORA_INSTALL_CMAKEDIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/velmora-config.cmake.in
  ${PROJECT_BINARY_DIR}/velmora-config.cmake
  INSTALL_DESTINATION ${VELMORA_INSTALL_CMAKEDIR})
# The SONAME carries only the major version, so any release of the same major
# version is a valid substitute, as the dynamic loader sees it too.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/velmora-config-version.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/velmora-config.cmake
              ${PROJECT_BINARY_DIR}/velmora-config-version.cmake
  DESTINATION ${VELMORA_INSTALL_CMAKEDIR})

# pkg-config: ${pcfiledir} is where velmora.pc was found, so the prefix
# follows the tree when it moves.
velmora_relative_path(_velmora_pc_up "${VELMORA_INSTALL_PKGCONFIGDIR}" "")
if(_velmora_pc_up STREQUAL "")
  set(VELMORA_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  set(VELMORA_PC_PREFIX "\${pcfiledir}/${_velmora_pc_up}")
endif()
foreach(_dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_dir}}")
    set(VELMORA_PC_${_dir} "${CMAKE_INSTALL_${_dir}}")
  else()
    set(VELMORA_PC_${_dir} "\${prefix}/${CMAKE_INSTALL_${_dir}}")
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/velmora.pc.in ${PROJECT_BINARY_DIR}/velmora.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/velmora.pc DESTINATION ${VELMORA_INSTALL_PKGCONFIGDIR})

# Python binding: the package sources plus a generated _build_config.py that
# carries the version and where the library lies relative to the package.
# Where it goes depends on the prefix, which `cmake --install --prefix` may
# change, so cmake/velmora_install_python.cmake decides at install time.
if(VELMORA_INSTALL_PYTHON)
  # The template with the SONAME filled in; the script fills in the library
  # directory once it knows where the package goes.
  velmora_python_build_config(${PROJECT_BINARY_DIR}/python-install/_build_config.py.in
                              "@VELMORA_PY_LIBRARY_DIR@")
  install(CODE "
    set(VELMORA_PY_INTERPRETER \"${Python3_EXECUTABLE}\")
    set(VELMORA_PY_DIR \"${VELMORA_PYTHON_INSTALL_DIR}\")
    set(VELMORA_PY_SOURCE \"${PROJECT_SOURCE_DIR}/python/velmora\")
    set(VELMORA_PY_CONFIG \"${PROJECT_BINARY_DIR}/python-install/_build_config.py\")
    set(VELMORA_PY_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(VELMORA_PY_EXTENSION \"$<$<BOOL:${VELMORA_BUILD_PYTHON}>:$<TARGET_FILE:velmora_python_ext>>\")
    include(\"${PROJECT_SOURCE_DIR}/cmake/velmora_install_python.cmake\")")
endif()
