# Installation, the Debian package, and the sample qmail home of examples/run-sample.sh.
#
#   cmake --install BUILD                   (DESTDIR=... is honoured; the prefix is the configured one)
#   cd BUILD && cpack -G DEB                (needs the prefix /usr and the run file in /var/lib)
#
# Install components: the files every installation has are in the default one; "plain" holds what
# only an installation by hand gets (README.md and LICENSE as they are, the scheduler files as
# documents to copy); "deb" holds what only the Debian package gets (the units where systemd finds
# them, the compressed README, the Debian copyright and changelog) and is left out of a plain
# "cmake --install".

find_program(LAGWATCH_GZIP gzip REQUIRED)

# lagwatch_gzip(TARGET SOURCE OUTPUT COMMENT): makes OUTPUT.gz, a copy of SOURCE compressed with
# gzip -9n (no name or time stamp, so two builds give the same bytes), in every build.
function(lagwatch_gzip target source output comment)
  get_filename_component(dir "${output}" DIRECTORY)
  add_custom_command(
    OUTPUT "${output}.gz"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${dir}"
    COMMAND ${CMAKE_COMMAND} -E copy "${source}" "${output}"
    COMMAND ${LAGWATCH_GZIP} -9nf "${output}"
    DEPENDS "${source}"
    COMMENT "${comment}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS "${output}.gz")
endfunction()

# The directory of the run file, which the program needs to exist: every installation makes it.
get_filename_component(LAGWATCH_STATE_DIR "${LAGWATCH_RUN_FILE}" DIRECTORY)
get_filename_component(LAGWATCH_METRICS_DIR "${LAGWATCH_METRICS_FILE}" DIRECTORY)
# The installed program, which the scheduler files start by its full path: through the search
# path, a program of the same name elsewhere (a by-hand build in /usr/local/bin beside the
# package's) would run in its place.
set(LAGWATCH_PROGRAM "${CMAKE_INSTALL_FULL_BINDIR}/lagwatch")

# The man page and the scheduler files name the default qmail home, run file, state directory and
# installed program. A build with other settings installs copies that name its own, so the page
# an admin reads and the files that start the program match the program that was built; the man
# page's footer names this version. The copy is rewritten only when its text changes.
function(lagwatch_localize_paths source dest)
  file(READ "${source}" text)
  # Placeholders first, so that a path replaced once is never replaced again.
  string(REPLACE "/var/lib/prometheus/node-exporter/lagwatch.prom" "@lagwatch-metrics-file@" text
    "${text}")
  string(REPLACE "/var/lib/prometheus/node-exporter" "@lagwatch-metrics-dir@" text "${text}")
  string(REPLACE "/var/lib/lagwatch/lagwatch.time" "@lagwatch-run-file@" text "${text}")
  string(REPLACE "/var/lib/lagwatch" "@lagwatch-state-dir@" text "${text}")
  string(REPLACE "/usr/local/bin/lagwatch" "@lagwatch-program@" text "${text}")
  string(REPLACE "/var/qmail" "${LAGWATCH_QMAIL_HOME}" text "${text}")
  string(REPLACE "@lagwatch-metrics-file@" "${LAGWATCH_METRICS_FILE}" text "${text}")
  string(REPLACE "@lagwatch-metrics-dir@" "${LAGWATCH_METRICS_DIR}" text "${text}")
  string(REPLACE "@lagwatch-run-file@" "${LAGWATCH_RUN_FILE}" text "${text}")
  string(REPLACE "@lagwatch-state-dir@" "${LAGWATCH_STATE_DIR}" text "${text}")
  string(REPLACE "@lagwatch-program@" "${LAGWATCH_PROGRAM}" text "${text}")
  string(REPLACE "\n.Os lagwatch\n" "\n.Os lagwatch ${PROJECT_VERSION}\n" text "${text}")
  # The service's StateDirectory= names the state directory relative to /var/lib, the only place
  # where systemd makes one that lasts. A build whose run file lies elsewhere goes without, and
  # names its state directory as optional in ReadWritePaths=: when it is missing, the run still
  # starts and says that it could not update its run file, instead of systemd failing the start.
  if(LAGWATCH_STATE_DIR MATCHES "^/var/lib/(.+)$")
    string(REPLACE "\nStateDirectory=lagwatch\n" "\nStateDirectory=${CMAKE_MATCH_1}\n" text
      "${text}")
  else()
    string(REGEX REPLACE
      "\n# The state directory, which holds[^\n]*\n(#[^\n]*\n)*StateDirectory=lagwatch\n"
      "\n# This build keeps its run file in ${LAGWATCH_STATE_DIR}, outside /var/lib, where alone\n\
# systemd makes a state directory (StateDirectory=). That directory must be there before a run\n\
# starts: without it, the run ends at once, as it cannot update its run file.\n" text "${text}")
    string(REPLACE "\nReadWritePaths=${LAGWATCH_STATE_DIR} "
      "\nReadWritePaths=-${LAGWATCH_STATE_DIR} " text "${text}")
  endif()
  # A run file in /run or /var/run is emptied at boot. The cron file of such a build ends with a
  # line, commented out, that seeds it at boot; every other build's run file survives a reboot.
  get_filename_component(name "${source}" NAME)
  if(name STREQUAL "lagwatch.cron" AND LAGWATCH_RUN_FILE MATCHES "^/(var/)?run/")
    string(APPEND text "
# This build keeps its run file in a directory that is emptied at boot, so the first run after
# a reboot would notify every sender of the whole queue again. To give up the notices of the
# downtime instead, seed the run file at boot (in cron.d, \"%\" must be written \"\\%\"):
#@reboot root date +\\%s | tr -d '\\n' > ${LAGWATCH_RUN_FILE}
")
  endif()
  file(WRITE "${dest}.new" "${text}")
  configure_file("${dest}.new" "${dest}" COPYONLY)
  file(REMOVE "${dest}.new")
  set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${source}")
endfunction()

# --- Man page ----------------------------------------------------------------------------------
# Installed gzip-compressed, as Debian's policy wants and as man(1) reads everywhere.
set(LAGWATCH_MAN_DIR "${CMAKE_BINARY_DIR}/man")
lagwatch_localize_paths("${PROJECT_SOURCE_DIR}/doc/lagwatch.8" "${LAGWATCH_MAN_DIR}/lagwatch.8")
lagwatch_gzip(lagwatch_man "${LAGWATCH_MAN_DIR}/lagwatch.8" "${LAGWATCH_MAN_DIR}/man8/lagwatch.8"
  "Compressing the man page")
install(FILES "${LAGWATCH_MAN_DIR}/man8/lagwatch.8.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man8")

# --- Documentation and scheduler files ---------------------------------------------------------
# What lands in share/doc/lagwatch works where it lies: the README, the notice template for -f and,
# in an installation by hand, the licence and the scheduler files to copy into place. The sample
# qmail home and run-sample.sh need a source tree and a build of their own, so they stay there.
# The state directory is made by every installation, as the package ships it.
if(IS_ABSOLUTE "${LAGWATCH_STATE_DIR}")
  install(DIRECTORY DESTINATION "${LAGWATCH_STATE_DIR}")
endif()
install(FILES "${PROJECT_SOURCE_DIR}/README.md" DESTINATION "${CMAKE_INSTALL_DOCDIR}" COMPONENT plain)
install(FILES "${PROJECT_SOURCE_DIR}/examples/notice-template.txt"
  DESTINATION "${CMAKE_INSTALL_DOCDIR}/examples")
install(FILES "${PROJECT_SOURCE_DIR}/LICENSE" DESTINATION "${CMAKE_INSTALL_DOCDIR}" COMPONENT plain)
set(LAGWATCH_UNIT_FILES lagwatch.service lagwatch.timer lagwatch-failure-mail.service)
foreach(name lagwatch.cron ${LAGWATCH_UNIT_FILES})
  lagwatch_localize_paths("${PROJECT_SOURCE_DIR}/contrib/${name}" "${CMAKE_BINARY_DIR}/contrib/${name}")
  install(FILES "${CMAKE_BINARY_DIR}/contrib/${name}" DESTINATION "${CMAKE_INSTALL_DOCDIR}/contrib"
    COMPONENT plain)
endforeach()

# --- Debian package ----------------------------------------------------------------------------
# The package keeps the run file in a directory of its own under /var/lib, which a reboot leaves
# alone, which the package owns and which a purge removes whole, and installs under /usr, whose
# bin/lagwatch its units and man page name. A build configured otherwise makes no package: cpack
# stops with a message (cmake/debian/cpack-options.cmake).
set(LAGWATCH_DEB_DIR "${PROJECT_SOURCE_DIR}/cmake/debian")
if(LAGWATCH_STATE_DIR MATCHES "^/var/lib/[^/]+$")
  set(LAGWATCH_STATE_DIR_USABLE ON)
else()
  set(LAGWATCH_STATE_DIR_USABLE OFF)
endif()

# The package version is the newest entry of the Debian changelog, whose upstream part must be the
# project's version: a new version needs its own entry.
file(STRINGS "${LAGWATCH_DEB_DIR}/changelog" LAGWATCH_DEB_HEAD LIMIT_COUNT 1)
if(NOT LAGWATCH_DEB_HEAD MATCHES "^lagwatch \\(([^-()]+)-([^-()]+)\\) "
    OR NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "cmake/debian/changelog: the newest entry, '${LAGWATCH_DEB_HEAD}', is not "
    "for version ${PROJECT_VERSION}-N; add an entry for this version")
endif()
set(LAGWATCH_DEB_REVISION "${CMAKE_MATCH_2}")
set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  "${LAGWATCH_DEB_DIR}/changelog" "${PROJECT_SOURCE_DIR}/LICENSE")

# The copyright file in Debian's machine-readable format, made from LICENSE: its copyright line and,
# as the licence text, everything after it, indented one blank with " ." for an empty line.
file(READ "${PROJECT_SOURCE_DIR}/LICENSE" LAGWATCH_LICENSE)
if(NOT LAGWATCH_LICENSE MATCHES "\nCopyright \\(c\\) ([^\n]+)\n\n(.*[^\n])\n*$")
  message(FATAL_ERROR "LICENSE: no line 'Copyright (c) ...' followed by the licence text")
endif()
set(LAGWATCH_COPYRIGHT_HOLDER "${CMAKE_MATCH_1}")
string(REPLACE "\n" "\n " LAGWATCH_LICENSE_TEXT " ${CMAKE_MATCH_2}")
string(REPLACE "\n \n" "\n .\n" LAGWATCH_LICENSE_TEXT "${LAGWATCH_LICENSE_TEXT}")
set(LAGWATCH_DEB_BUILD "${CMAKE_BINARY_DIR}/debian")
file(WRITE "${LAGWATCH_DEB_BUILD}/copyright.new"
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: lagwatch
Comment: lagwatch is released under the MIT licence, which this format calls Expat. The same
 text is the file LICENSE of the source tree.

Files: *
Copyright: ${LAGWATCH_COPYRIGHT_HOLDER}
License: Expat
${LAGWATCH_LICENSE_TEXT}
")
configure_file("${LAGWATCH_DEB_BUILD}/copyright.new" "${LAGWATCH_DEB_BUILD}/copyright" COPYONLY)
file(REMOVE "${LAGWATCH_DEB_BUILD}/copyright.new")

# The maintainer scripts name the run file and its directory of this build.
configure_file("${LAGWATCH_DEB_DIR}/postinst.in" "${LAGWATCH_DEB_BUILD}/postinst" @ONLY)
configure_file("${LAGWATCH_DEB_DIR}/prerm" "${LAGWATCH_DEB_BUILD}/prerm" COPYONLY)
configure_file("${LAGWATCH_DEB_DIR}/postrm.in" "${LAGWATCH_DEB_BUILD}/postrm" @ONLY)

lagwatch_gzip(lagwatch_deb_changelog "${LAGWATCH_DEB_DIR}/changelog"
  "${LAGWATCH_DEB_BUILD}/changelog.Debian" "Compressing the Debian changelog")
# Debian's policy wants documents of more than a few kilobytes compressed; the README is 20 and more.
lagwatch_gzip(lagwatch_deb_readme "${PROJECT_SOURCE_DIR}/README.md" "${LAGWATCH_DEB_BUILD}/README.md"
  "Compressing the README")

# The package's units go where systemd on the building system keeps those of packages: the
# directory that systemd's pkg-config file names (pkgconf, with systemd-dev on Debian 13, where it
# is /usr/lib/systemd/system, or systemd on Debian 12, where it is /lib/systemd/system), else
# /usr/lib/systemd/system, which systemd reads on every merged-/usr system.
find_package(PkgConfig QUIET)
set(LAGWATCH_UNIT_DIR "")
if(PKG_CONFIG_FOUND)
  pkg_get_variable(LAGWATCH_UNIT_DIR systemd systemdsystemunitdir)
endif()
if(NOT LAGWATCH_UNIT_DIR MATCHES "^/")
  set(LAGWATCH_UNIT_DIR /usr/lib/systemd/system)
endif()

# What only the package installs: the units, the cron file as an example for systems without
# systemd, the README compressed, copyright and changelog, and the lintian override of
# cmake/debian/lintian-overrides (its reason is written there).
install(FILES "${LAGWATCH_DEB_BUILD}/README.md.gz" "${LAGWATCH_DEB_BUILD}/copyright"
  "${LAGWATCH_DEB_BUILD}/changelog.Debian.gz"
  DESTINATION "${CMAKE_INSTALL_DOCDIR}" COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES "${CMAKE_BINARY_DIR}/contrib/lagwatch.cron"
  DESTINATION "${CMAKE_INSTALL_DOCDIR}/examples" COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES "${LAGWATCH_DEB_DIR}/lintian-overrides"
  DESTINATION "${CMAKE_INSTALL_DATADIR}/lintian/overrides" RENAME lagwatch
  COMPONENT deb EXCLUDE_FROM_ALL)
list(TRANSFORM LAGWATCH_UNIT_FILES PREPEND "${CMAKE_BINARY_DIR}/contrib/")
install(FILES ${LAGWATCH_UNIT_FILES} DESTINATION "${LAGWATCH_UNIT_DIR}"
  COMPONENT deb EXCLUDE_FROM_ALL)

set(LAGWATCH_MAINTAINER "lagwatch authors <lagwatch@example.org>" CACHE STRING
  "Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lagwatch)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${LAGWATCH_MAINTAINER}")
# The default component and "deb", installed below a DESTDIR: the paths outside the prefix
# (the units' directory, /var/lib) land in the package, never on the building machine.
set(CPACK_INSTALL_CMAKE_PROJECTS
  "${CMAKE_BINARY_DIR};lagwatch;Unspecified;/;${CMAKE_BINARY_DIR};lagwatch;deb;/")
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PROJECT_CONFIG_FILE "${LAGWATCH_DEB_DIR}/cpack-options.cmake")
set(CPACK_LAGWATCH_RUN_FILE "${LAGWATCH_RUN_FILE}")
set(CPACK_LAGWATCH_STATE_DIR_USABLE "${LAGWATCH_STATE_DIR_USABLE}")
set(CPACK_LAGWATCH_PREFIX "${LAGWATCH_CONFIGURED_PREFIX}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE "${LAGWATCH_DEB_REVISION}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${LAGWATCH_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The dependencies are computed from the binary by dpkg-shlibdeps (Debian's dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${LAGWATCH_DEB_BUILD}/postinst;${LAGWATCH_DEB_BUILD}/prerm;${LAGWATCH_DEB_BUILD}/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "delayed delivery notices for the qmail queue
Run every 15 minutes by a systemd timer, lagwatch walks qmail's queue and
mails the envelope sender of every message that has waited longer than a
threshold (4 hours by default) one notice that lists the recipients not
reached yet, optionally with a copy of the message, plain or as a MIME
attachment. Each message gets one notice, however often it runs.
.
This build reads qmail under ${LAGWATCH_QMAIL_HOME} and keeps the start time
of its last run in ${LAGWATCH_RUN_FILE}. Installing the package
seeds that file with the current time, so the first run notifies only the
messages that cross the threshold after the installation.")
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
  foreach(check man_page_lint install_tree localized_paths debian_package debian_install
      contrib_units sample_queue)
    add_test(NAME packaging.${check}
      COMMAND bash "${LAGWATCH_PACKAGING_TEST}" ${check} "${PROJECT_SOURCE_DIR}" "${CMAKE_BINARY_DIR}")
    set_tests_properties(packaging.${check} PROPERTIES SKIP_RETURN_CODE 77)
  endforeach()
  set_tests_properties(packaging.sample_queue PROPERTIES RESOURCE_LOCK lagwatch_sample_home)
  # debian_package builds the package (in a build tree of its own) that debian_install installs.
  set_tests_properties(packaging.debian_package PROPERTIES FIXTURES_SETUP lagwatch_deb)
  set_tests_properties(packaging.debian_install PROPERTIES FIXTURES_REQUIRED lagwatch_deb)
endif()
