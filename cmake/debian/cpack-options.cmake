# Read by cpack before it builds a package. The Debian package keeps its state in a directory of
# its own under /var/lib (see cmake/packaging.cmake); a build configured otherwise makes none.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_LAGWATCH_STATE_DIR_USABLE)
  message(FATAL_ERROR "This build keeps its run file in ${CPACK_LAGWATCH_RUN_FILE}. The Debian "
    "package needs it in a directory of its own under /var/lib: configure with "
    "-DLAGWATCH_RUN_FILE=/var/lib/lagwatch/lagwatch.time")
endif()
