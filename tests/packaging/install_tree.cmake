# Installs the build into a staging prefix, checks the layout and that no
# installed text file names the staging path, then moves the tree to its
# final place: the consumers only ever see a relocated installation.
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
