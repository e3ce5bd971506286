# Included by cpack (CPACK_PROJECT_CONFIG_FILE): the Depends of the library
# and tool packages, as dpkg-shlibdeps finds them for the built binaries.
# The -dev package depends on the library package of the same version.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
find_program(QORVANE_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NOT QORVANE_DPKG_SHLIBDEPS)
  message(FATAL_ERROR "Packaging needs dpkg-shlibdeps (package dpkg-dev; scripts/setup-debian.sh installs it)")
endif()

# qorvane_shlibdeps(<out-var> <binary>): dpkg-shlibdeps wants a source
# package around it, so it runs in a scratch directory with a stub control.
# libqorvane.so.1 is found in the build tree, with the shlibs line of its
# package.
function(qorvane_shlibdeps out binary)
  set(dir "${QORVANE_DEB_SCRATCH}/shlibdeps")
  file(REMOVE_RECURSE "${dir}")
  file(WRITE "${dir}/debian/control" "Source: qorvane\n\nPackage: qorvane\nArchitecture: any\n")
  file(COPY_FILE "${QORVANE_DEB_SHLIBS}" "${dir}/debian/shlibs.local")
  execute_process(COMMAND "${QORVANE_DPKG_SHLIBDEPS}" -O "-l${QORVANE_DEB_LIBRARY_DIR}" "${binary}"
    WORKING_DIRECTORY "${dir}"
    RESULT_VARIABLE rc OUTPUT_VARIABLE output ERROR_VARIABLE error
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(REMOVE_RECURSE "${dir}")
  if(NOT rc EQUAL 0 OR NOT output MATCHES "^shlibs:Depends=(.+)$")
    message(FATAL_ERROR "dpkg-shlibdeps ${binary} failed: ${error}")
  endif()
  set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()

qorvane_shlibdeps(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${QORVANE_DEB_RUNTIME_BINARY}")
if(QORVANE_DEB_TOOL_BINARY)
  qorvane_shlibdeps(depends "${QORVANE_DEB_TOOL_BINARY}")
  # groupadd, for the postinst where systemd-sysusers is missing.
  set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "${depends}, passwd")
endif()
if(QORVANE_DEB_PYTHON_MODULE)
  # The extension is built for one python3 version (its file name says so).
  qorvane_shlibdeps(depends "${QORVANE_DEB_PYTHON_MODULE}")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "${depends}, python3 (>= ${QORVANE_DEB_PYTHON_VERSION}), python3 (<< ${QORVANE_DEB_PYTHON_NEXT})")
endif()
