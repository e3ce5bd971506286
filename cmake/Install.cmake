# Install rules: the shared library, the public headers, the qorvane tool,
# a CMake package (find_package(Qorvane CONFIG) -> Qorvane::qorvane) and a
# pkg-config file (qorvane.pc). Three components, one Debian package each
# (cmake/Packaging.cmake): Runtime (the library), Development (headers,
# link-time name, CMake package, qorvane.pc) and Tool (the tool, its man
# page and completion, the hardened counter set-up).
include(CMakePackageConfigHelpers)

set(QORVANE_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/Qorvane")

install(TARGETS qorvane
  EXPORT QorvaneTargets
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
    COMPONENT Runtime
    NAMELINK_COMPONENT Development
  INCLUDES DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")

install(DIRECTORY "${PROJECT_SOURCE_DIR}/include/qorvane/"
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/qorvane"
  COMPONENT Development
  FILES_MATCHING PATTERN "*.h")

if(TARGET qorvane_cli)
  install(TARGETS qorvane_cli RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT Tool)
endif()

# The hardened set-up of the counter object for multi-user machines: the
# group qorvane and the object provisioned root:qorvane 0660 at boot.
set(QORVANE_SYSTEMD_LIBDIR "lib" CACHE STRING "Where tmpfiles.d and sysusers.d live, relative to the prefix")
install(FILES "${PROJECT_SOURCE_DIR}/packaging/tmpfiles.d-qorvane.conf"
  DESTINATION "${QORVANE_SYSTEMD_LIBDIR}/tmpfiles.d" RENAME qorvane.conf COMPONENT Tool)
install(FILES "${PROJECT_SOURCE_DIR}/packaging/sysusers.d-qorvane.conf"
  DESTINATION "${QORVANE_SYSTEMD_LIBDIR}/sysusers.d" RENAME qorvane.conf COMPONENT Tool)

install(EXPORT QorvaneTargets
  NAMESPACE Qorvane::
  FILE QorvaneTargets.cmake
  DESTINATION "${QORVANE_CMAKE_DIR}"
  COMPONENT Development)

configure_package_config_file(
  "${CMAKE_CURRENT_LIST_DIR}/QorvaneConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/QorvaneConfig.cmake"
  INSTALL_DESTINATION "${QORVANE_CMAKE_DIR}")
# The library's ABI follows its SONAME, which is the major version.
write_basic_package_version_file(
  "${PROJECT_BINARY_DIR}/QorvaneConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}"
  COMPATIBILITY SameMajorVersion)
install(FILES
    "${PROJECT_BINARY_DIR}/QorvaneConfig.cmake"
    "${PROJECT_BINARY_DIR}/QorvaneConfigVersion.cmake"
  DESTINATION "${QORVANE_CMAKE_DIR}"
  COMPONENT Development)

# qorvane.pc: everything but the prefix is filled in now; the prefix is
# filled in at install time, so that the file names the prefix the files
# really go to ("cmake --install --prefix P" included).
foreach(part LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${part}}")
    set(QORVANE_PC_${part} "${CMAKE_INSTALL_${part}}")
  else()
    set(QORVANE_PC_${part} "\${prefix}/${CMAKE_INSTALL_${part}}")
  endif()
endforeach()
set(QORVANE_PC_PREFIX "@QORVANE_PC_PREFIX@")  # kept for the second pass
configure_file("${CMAKE_CURRENT_LIST_DIR}/qorvane.pc.in" "${PROJECT_BINARY_DIR}/qorvane.pc.in" @ONLY)
install(CODE "
  set(QORVANE_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/qorvane.pc.in\" \"${PROJECT_BINARY_DIR}/qorvane.pc\" @ONLY)
" COMPONENT Development)
install(FILES "${PROJECT_BINARY_DIR}/qorvane.pc"
  DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig"
  COMPONENT Development)
