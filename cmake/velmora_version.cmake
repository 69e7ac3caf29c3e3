# The version is written once, in include/velmora.h (VELMORA_VERSION_MAJOR,
# _MINOR, _PATCH).  The project version, and through it the SONAME, the
# pkg-config file, the CMake package version and the Python package, are read
# from there, so a release bumps one place.
set(_velmora_header "${CMAKE_CURRENT_LIST_DIR}/../include/velmora.h")
file(STRINGS "${_velmora_header}" _velmora_version_lines
     REGEX "^#define VELMORA_VERSION_(MAJOR|MINOR|PATCH)[ \t]+[0-9]+[ \t]*$")
foreach(_part MAJOR MINOR PATCH)
  set(_value "")
  foreach(_line IN LISTS _velmora_version_lines)
    if(_line MATCHES "^#define VELMORA_VERSION_${_part}[ \t]+([0-9]+)")
      set(_value "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  if(_value STREQUAL "")
    message(FATAL_ERROR "VELMORA_VERSION_${_part} not found in ${_velmora_header}")
  endif()
  set(VELMORA_VERSION_${_part} "${_value}")
endforeach()
set(VELMORA_VERSION "${VELMORA_VERSION_MAJOR}.${VELMORA_VERSION_MINOR}.${VELMORA_VERSION_PATCH}")
# Editing the header re-runs the configure step, so a bump reaches every file.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_velmora_header}")
unset(_velmora_header)
unset(_velmora_version_lines)
unset(_part)
unset(_value)
unset(_line)
