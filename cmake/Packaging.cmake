# The Debian package: `cpack -G DEB` in a (release) build directory packs
# every install() rule into one package, qorvane_<version>_<arch>.deb, with
# the files under /usr.
set(CPACK_PACKAGE_NAME "qorvane")
set(CPACK_PACKAGE_VENDOR "Qorvane")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
  "libqorvane reads and changes one shared settings file, QorRunningSet.Inf,
while many processes do so at once. The package holds the shared library,
its headers, CMake package and pkg-config file, the qorvane tool with
its man page and bash completion, and a tmpfiles.d entry that makes the
machine-wide access counter usable by the members of group qorvane only.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Qorvane developers <qorvane@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION "libs")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# The dependencies of the library and the tool as dpkg-shlibdeps finds
# them (dpkg-dev), else the ones they have on Debian 12.
find_program(QORVANE_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(QORVANE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
endif()
# ldconfig after install and removal, for the library's SONAME link.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# postinst creates the group qorvane of the hardened counter set-up.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/packaging/postinst")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
