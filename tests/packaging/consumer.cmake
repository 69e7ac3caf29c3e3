# Builds and runs the consumers against the installed tree, either through
# find_package (MODE=cmake) or through pkg-config (MODE=pkgconfig).
include(${CMAKE_CURRENT_LIST_DIR}/common.cmake)
velmora_header_version(version)
set(build "${WORK}/consumer-${MODE}")
file(REMOVE_RECURSE "${build}")
file(MAKE_DIRECTORY "${build}")

if(MODE STREQUAL "cmake")
  velmora_run("consumer configure" ${CMAKE_COMMAND} -S "${CONSUMER_SOURCE}" -B "${build}"
    -G "${GENERATOR}"
    -DCMAKE_C_COMPILER=${CC} -DCMAKE_CXX_COMPILER=${CXX}
    "-DCMAKE_C_FLAGS=${SAN_FLAGS}" "-DCMAKE_CXX_FLAGS=${SAN_FLAGS}"
    "-DCMAKE_EXE_LINKER_FLAGS=${SAN_FLAGS}"
    -DCMAKE_PREFIX_PATH=${PREFIX}
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF
    -DEXPECTED_VERSION=${version} -DEXPECTED_PREFIX=${PREFIX})
  velmora_run("consumer build" ${CMAKE_COMMAND} --build "${build}")
  # The executables reach the library through the build RPATH CMake gives
  # them for the imported target.
  set(run_env "")
elseif(MODE STREQUAL "pkgconfig")
  if(NOT PKG_CONFIG)
    message(STATUS "SKIPPED: pkg-config not found (Debian: apt-get install pkgconf)")
    return()
  endif()
  # Only the installed tree is searched, not the system's .pc files.
  set(pc ${CMAKE_COMMAND} -E env "PKG_CONFIG_LIBDIR=${PREFIX}/${PKGCONFIGDIR}"
         PKG_CONFIG_PATH= ${PKG_CONFIG})
  velmora_run("pkg-config --modversion" ${pc} --modversion velmora)
  string(STRIP "${VELMORA_RUN_OUTPUT}" pc_version)
  if(NOT pc_version STREQUAL version)
    message(FATAL_ERROR "velmora.pc says ${pc_version}, the header ${version}")
  endif()
  velmora_run("pkg-config --cflags" ${pc} --cflags velmora)
  separate_arguments(cflags UNIX_COMMAND "${VELMORA_RUN_OUTPUT}")
  velmora_run("pkg-config --libs" ${pc} --libs velmora)
  separate_arguments(libs UNIX_COMMAND "${VELMORA_RUN_OUTPUT}")
  velmora_run("pkg-config --variable=libdir" ${pc} --variable=libdir velmora)
  string(STRIP "${VELMORA_RUN_OUTPUT}" libdir)
  file(REAL_PATH "${libdir}" libdir)
  file(REAL_PATH "${PREFIX}/${LIBDIR}" want_libdir)
  if(NOT libdir STREQUAL want_libdir)
    message(FATAL_ERROR "velmora.pc gives libdir ${libdir}, expected ${want_libdir}")
  endif()
  separate_arguments(san UNIX_COMMAND "${SAN_FLAGS}")
  # As the README shows: the library found at run time through an rpath.
  velmora_run("C consumer compile" ${CC} -std=c99 -Wall -Wextra -Wpedantic -Werror ${san}
    "-DEXPECTED_VERSION=\"${version}\"" ${cflags}
    "${CONSUMER_SOURCE}/consumer.c" ${libs} "-Wl,-rpath,${libdir}" -o "${build}/consumer_c")
  velmora_run("C++ consumer compile" ${CXX} -std=c++17 -Wall -Wextra -Wpedantic -Werror ${san}
    "-DEXPECTED_VERSION=\"${version}\"" ${cflags}
    "${CONSUMER_SOURCE}/consumer.cpp" ${libs} "-Wl,-rpath,${libdir}" -o "${build}/consumer_cxx")
  set(run_env "")
else()
  message(FATAL_ERROR "MODE must be cmake or pkgconfig")
endif()

foreach(exe consumer_c consumer_cxx)
  velmora_run("${exe}" ${CMAKE_COMMAND} -E env ${run_env} "${build}/${exe}")
  message(STATUS "${exe}: ${VELMORA_RUN_OUTPUT}")
  if(NOT VELMORA_RUN_OUTPUT MATCHES "velmora ${version} ok")
    message(FATAL_ERROR "${exe} printed: ${VELMORA_RUN_OUTPUT}")
  endif()
endforeach()
