# The Debian packages: `cpack -G DEB` in a release build directory makes one
# package per install component, with the files under /usr:
#   libqorvane1     the shared library, named after its SONAME (Runtime)
#   libqorvane-dev  headers, link-time name, CMake package, qorvane.pc
#   qorvane         the tool, its man page and completion, and the hardened
#                   counter set-up: the group qorvane and the tmpfiles.d entry
#   python3-qorvane the Python module, in /usr/lib/python3/dist-packages
#                   (Python), when it is built
# Each carries its copyright file and changelog; binaries are stripped.
set(CPACK_PACKAGE_NAME "qorvane")
set(CPACK_PACKAGE_VENDOR "Qorvane")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Runtime Development Tool)
if(TARGET qorvane_python)
  list(APPEND CPACK_COMPONENTS_ALL Python)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(QORVANE_DEB_MAINTAINER "Qorvane developers <qorvane@example.org>" CACHE STRING
  "Maintainer field of the Debian packages")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QORVANE_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(qorvane_runtime "libqorvane${PROJECT_VERSION_MAJOR}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME "${qorvane_runtime}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION "libs")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "libqorvane reads and changes one shared settings file, QorRunningSet.Inf,
while many processes do so at once. This package holds the shared library.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SUGGESTS "qorvane")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME "libqorvane-dev")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION "libdevel")
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS Runtime)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "libqorvane reads and changes one shared settings file, QorRunningSet.Inf,
while many processes do so at once. This package holds what building
against it needs: the headers, the CMake package (Qorvane::qorvane) and
the pkg-config file (qorvane).")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME "qorvane")
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION "utils")
set(CPACK_COMPONENT_TOOL_DESCRIPTION
  "The qorvane tool reads and changes the shared settings file
QorRunningSet.Inf the way the library does, for people and scripts. The
package also makes the machine-wide access counter usable by the members
of group qorvane only (the group and a tmpfiles.d entry).")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME "python3-qorvane")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION "python")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
  "The Python 3 module qorvane reads and changes the shared settings file
QorRunningSet.Inf through libqorvane, safely while other processes do the
same: keys as context managers that commit on a clean exit, items as a
mapping, and a watcher of a key's items.")

# Maintainer scripts. The library needs none: its triggers file has ldconfig
# run once per dpkg run, and its shlibs file tells dpkg-shlibdeps which
# package clients depend on. (CPack's own shlibs support would also add
# maintainer scripts that call ldconfig.)
set(qorvane_deb "${PROJECT_BINARY_DIR}/deb")
file(MAKE_DIRECTORY "${qorvane_deb}/runtime")
file(WRITE "${qorvane_deb}/runtime/shlibs"
  "libqorvane ${PROJECT_VERSION_MAJOR} ${qorvane_runtime} (>= ${PROJECT_VERSION})\n")
file(WRITE "${qorvane_deb}/runtime/triggers" "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "${qorvane_deb}/runtime/shlibs;${qorvane_deb}/runtime/triggers")
set(CPACK_DEBIAN_TOOL_PACKAGE_CONTROL_EXTRA
  "${PROJECT_SOURCE_DIR}/packaging/postinst;${PROJECT_SOURCE_DIR}/packaging/postrm")
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
  "${PROJECT_SOURCE_DIR}/packaging/python3/postinst;${PROJECT_SOURCE_DIR}/packaging/python3/prerm")

# The dependencies on the C and C++ runtimes, as dpkg-shlibdeps finds them
# when cpack runs (cmake/PackagingDepends.cmake).
if(TARGET qorvane_python)
  math(EXPR qorvane_python_next "${Python_VERSION_MINOR} + 1")
endif()
file(GENERATE OUTPUT "${qorvane_deb}/depends.cmake" CONTENT "
set(QORVANE_DEB_RUNTIME_BINARY \"$<TARGET_FILE:qorvane>\")
set(QORVANE_DEB_TOOL_BINARY \"$<$<TARGET_EXISTS:qorvane_cli>:$<TARGET_FILE:qorvane_cli>>\")
set(QORVANE_DEB_PYTHON_MODULE \"$<$<TARGET_EXISTS:qorvane_python>:$<TARGET_FILE:qorvane_python>>\")
set(QORVANE_DEB_PYTHON_VERSION \"${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}\")
set(QORVANE_DEB_PYTHON_NEXT \"${Python_VERSION_MAJOR}.${qorvane_python_next}\")
set(QORVANE_DEB_LIBRARY_DIR \"$<TARGET_FILE_DIR:qorvane>\")
set(QORVANE_DEB_SHLIBS \"${qorvane_deb}/runtime/shlibs\")
set(QORVANE_DEB_SCRATCH \"${qorvane_deb}\")
include(\"${CMAKE_CURRENT_LIST_DIR}/PackagingDepends.cmake\")
")
set(CPACK_PROJECT_CONFIG_FILE "${qorvane_deb}/depends.cmake")

# /usr/share/doc/<package>/: the copyright file and the changelog (the
# version's own: native packages keep changelog.gz). Only the packages
# install them: a plain `cmake --install` leaves them out.
file(STRINGS "${PROJECT_SOURCE_DIR}/packaging/changelog" qorvane_changelog_head LIMIT_COUNT 1)
if(NOT qorvane_changelog_head MATCHES "^qorvane \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog begins with '${qorvane_changelog_head}', "
    "not with an entry for version ${PROJECT_VERSION}")
endif()
add_custom_command(OUTPUT "${qorvane_deb}/changelog.gz"
  COMMAND sh -c "gzip -9nc \"$1\" >\"$2\"" sh "${PROJECT_SOURCE_DIR}/packaging/changelog" "${qorvane_deb}/changelog.gz"
  DEPENDS "${PROJECT_SOURCE_DIR}/packaging/changelog"
  COMMENT "Compressing the package changelog" VERBATIM)
add_custom_target(qorvane_deb_changelog ALL DEPENDS "${qorvane_deb}/changelog.gz")
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER "${component}" upper)
  install(FILES "${PROJECT_SOURCE_DIR}/packaging/copyright" "${qorvane_deb}/changelog.gz"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}"
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
