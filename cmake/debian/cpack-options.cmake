# Read by cpack before it builds a package. The Debian package installs under /usr and keeps its
# state in a directory of its own under /var/lib (see cmake/packaging.cmake); a build configured
# otherwise makes none, as its units and man page would name other paths than the package's.
set(lagwatch_deb_problems "")
if(NOT CPACK_LAGWATCH_PREFIX STREQUAL "/usr")
  string(APPEND lagwatch_deb_problems " It installs under ${CPACK_LAGWATCH_PREFIX}, and its units "
    "and man page name the program there; the package installs under /usr: configure with "
    "-DCMAKE_INSTALL_PREFIX=/usr.")
endif()
if(NOT CPACK_LAGWATCH_STATE_DIR_USABLE)
  string(APPEND lagwatch_deb_problems " It keeps its run file in ${CPACK_LAGWATCH_RUN_FILE}; the "
    "package needs it in a directory of its own under /var/lib: configure with "
    "-DLAGWATCH_RUN_FILE=/var/lib/lagwatch/lagwatch.time.")
endif()
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT lagwatch_deb_problems STREQUAL "")
  message(FATAL_ERROR "This build makes no Debian package.${lagwatch_deb_problems}")
endif()
