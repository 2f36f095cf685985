# Installation, the Debian package, and the sample qmail home of examples/run-sample.sh.
#
#   cmake --install BUILD [--prefix DIR]    (DESTDIR=... is honoured)
#   cd BUILD && cpack -G DEB
#
# The program goes to bin/ (src/CMakeLists.txt), the man page to share/man/man8/, and the README,
# the examples and the scheduler files to share/doc/lagwatch/.

find_program(LAGWATCH_GZIP gzip REQUIRED)

# The man page and the scheduler files name the default qmail home and run file. A build with
# other settings installs copies that name its own paths, so the page an admin reads matches the
# program that was built. The copy is rewritten only when its text changes.
function(lagwatch_localize_paths source dest)
  file(READ "${source}" text)
  string(REPLACE "/var/run/lagwatch.time" "@lagwatch-run-file@" text "${text}")
  string(REPLACE "/var/qmail" "${LAGWATCH_QMAIL_HOME}" text "${text}")
  string(REPLACE "@lagwatch-run-file@" "${LAGWATCH_RUN_FILE}" text "${text}")
  file(WRITE "${dest}.new" "${text}")
  configure_file("${dest}.new" "${dest}" COPYONLY)
  file(REMOVE "${dest}.new")
  set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${source}")
endfunction()

# --- Man page ----------------------------------------------------------------------------------
# Installed gzip-compressed (-n: no name or time stamp, so two builds give the same bytes), as
# Debian's policy wants and as man(1) reads everywhere.
set(LAGWATCH_MAN_DIR "${CMAKE_BINARY_DIR}/man")
lagwatch_localize_paths("${PROJECT_SOURCE_DIR}/doc/lagwatch.8" "${LAGWATCH_MAN_DIR}/lagwatch.8")
add_custom_command(
  OUTPUT "${LAGWATCH_MAN_DIR}/man8/lagwatch.8.gz"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${LAGWATCH_MAN_DIR}/man8"
  COMMAND ${CMAKE_COMMAND} -E copy "${LAGWATCH_MAN_DIR}/lagwatch.8" "${LAGWATCH_MAN_DIR}/man8/lagwatch.8"
  COMMAND ${LAGWATCH_GZIP} -9nf "${LAGWATCH_MAN_DIR}/man8/lagwatch.8"
  DEPENDS "${LAGWATCH_MAN_DIR}/lagwatch.8"
  COMMENT "Compressing the man page"
  VERBATIM)
add_custom_target(lagwatch_man ALL DEPENDS "${LAGWATCH_MAN_DIR}/man8/lagwatch.8.gz")
install(FILES "${LAGWATCH_MAN_DIR}/man8/lagwatch.8.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man8")

# --- Documentation, examples, scheduler files --------------------------------------------------
install(FILES "${PROJECT_SOURCE_DIR}/README.md" DESTINATION "${CMAKE_INSTALL_DOCDIR}")
install(DIRECTORY "${PROJECT_SOURCE_DIR}/examples/" DESTINATION "${CMAKE_INSTALL_DOCDIR}/examples"
  USE_SOURCE_PERMISSIONS)
set(LAGWATCH_CONTRIB_FILES lagwatch.cron lagwatch.service lagwatch.timer
  lagwatch-failure-mail.service)
foreach(name ${LAGWATCH_CONTRIB_FILES})
  lagwatch_localize_paths("${PROJECT_SOURCE_DIR}/contrib/${name}" "${CMAKE_BINARY_DIR}/contrib/${name}")
  install(FILES "${CMAKE_BINARY_DIR}/contrib/${name}" DESTINATION "${CMAKE_INSTALL_DOCDIR}/contrib")
endforeach()

# --- Debian package ----------------------------------------------------------------------------
set(LAGWATCH_MAINTAINER "lagwatch maintainers <postmaster@localhost>" CACHE STRING
  "Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lagwatch)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${LAGWATCH_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${LAGWATCH_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The dependencies are computed from the binary by dpkg-shlibdeps (Debian's dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "cron | systemd")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "delayed delivery notices for the qmail queue
Run every few minutes from cron or a systemd timer, lagwatch walks qmail's
queue and mails the envelope sender of every message that has waited longer
than a threshold (4 hours by default) one notice that lists the recipients
not reached yet, optionally with a copy of the message, plain or as a MIME
attachment. Each message gets one notice, however often it runs.
.
This build reads qmail under ${LAGWATCH_QMAIL_HOME} and keeps the time of its
last run in ${LAGWATCH_RUN_FILE}.")
# A source tarball (cpack --config CPackSourceConfig.cmake) leaves out git and build trees.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/out/" "\\\\.swp$")
include(CPack)

# --- Sample qmail home -------------------------------------------------------------------------
# examples/run-sample.sh copies examples/qmail here and runs this build of the program on it.
# The script builds the target itself, so a build without the tests (a packager's) skips it.
lagwatch_variant(lagwatch_sample "${CMAKE_BINARY_DIR}/sample/qmail"
  "${CMAKE_BINARY_DIR}/sample/lagwatch.time")
if(NOT LAGWATCH_TESTS)
  set_target_properties(lagwatch_sample lagwatch_sample_conf PROPERTIES EXCLUDE_FROM_ALL ON)
endif()

if(LAGWATCH_TESTS)
  set(LAGWATCH_PACKAGING_TEST "${PROJECT_SOURCE_DIR}/tests/packaging_test.sh")
  foreach(check man_page_lint install_tree localized_paths debian_package contrib_units
      sample_queue)
    add_test(NAME packaging.${check}
      COMMAND bash "${LAGWATCH_PACKAGING_TEST}" ${check} "${PROJECT_SOURCE_DIR}" "${CMAKE_BINARY_DIR}")
    set_tests_properties(packaging.${check} PROPERTIES SKIP_RETURN_CODE 77)
  endforeach()
  set_tests_properties(packaging.sample_queue PROPERTIES RESOURCE_LOCK lagwatch_sample_home)
endif()
