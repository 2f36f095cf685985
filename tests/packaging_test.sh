#!/bin/bash
# Checks what an admin gets besides the program: the man page, the install tree, the Debian
# package and its installation, the scheduler files and the sample queue. CTest runs one check per
# test:
#
#   packaging_test.sh CHECK SOURCE_DIR BUILD_DIR
#
# CHECK is man_page_lint, install_tree, localized_paths, debian_package, debian_install,
# contrib_units or sample_queue; debian_install installs the package that debian_package built.
# Every check writes only below BUILD_DIR/packaging-test/. Exit status 0 when every row of the
# check passed, 1 otherwise, 77 (skipped) when a tool that only some systems have is missing.
set -u

check=$1
source_dir=$2
build_dir=$3
scratch=$build_dir/packaging-test/$check
failures=0
passes=0

pass() { passes=$((passes + 1)); }
fail() {  # fail ROW-NAME WHAT-WENT-WRONG
  echo "FAILED $1: $2"
  failures=$((failures + 1))
}
finish() {
  echo "$passes passed, $failures failed"
  [ "$failures" = 0 ]
  exit
}
need() {  # need TOOL PACKAGE: a tool that CI installs; its absence is a failure, not a skip.
  if ! command -v "$1" > /dev/null; then
    echo "FAILED: $1 is not installed (Debian package $2)"
    exit 1
  fi
}
fresh_scratch() {
  rm -rf "$scratch" && mkdir -p "$scratch" || exit 1
}

# The usage line and help screen, 658 bytes, that -h and --help print.
expected_help() {
  printf '%s\n' \
    'usage: lagwatch [flags] ' \
    '  -b          Copy N bytes from the original message into the notice.' \
    '              (Defaults to entire message)' \
    '  -d          Show debugging messages' \
    '  -f          Load the bounce response message from a file' \
    '  -m          Encode the original message as a MIME attachment' \
    "  -N          Don't send messages, just print them out" \
    "  -r          Only respond to senders with a domain listed in qmail's rcpthosts" \
    '  -t          Send notifications for messages that are at least N seconds old' \
    '              (Defaults to 4 hours)' \
    '  -x          Send a copy of the notification to the given recipient' \
    '' \
    '  -h, --help  Display this help and exit'
}

# check_help ROW-PREFIX PROGRAM: both help options print exactly the help screen and exit 0.
check_help() {
  local prefix=$1 program=$2 option status
  expected_help > "$scratch/help.expected"
  if [ "$(wc -c < "$scratch/help.expected")" != 658 ]; then
    fail "$prefix.ExpectedHelpIs658Bytes" "the test's own help text is not 658 bytes"
    return
  fi
  for option in -h --help; do
    "$program" "$option" > "$scratch/help.out" 2> "$scratch/help.err"
    status=$?
    if [ "$status" != 0 ]; then
      fail "$prefix.Help$option.ExitsZero" "exit status $status"
    elif ! cmp -s "$scratch/help.expected" "$scratch/help.out"; then
      fail "$prefix.Help$option.PrintsHelpScreen" \
        "stdout differs: $(diff "$scratch/help.expected" "$scratch/help.out" | head -5)"
    elif [ -s "$scratch/help.err" ]; then
      fail "$prefix.Help$option.QuietOnStderr" "stderr: $(head -c 200 "$scratch/help.err")"
    else
      pass
    fi
  done
}

path_is() {  # path_is f|x|d PATH
  case $1 in
    f) [ -f "$2" ] ;;
    x) [ -f "$2" ] && [ -x "$2" ] ;;
    d) [ -d "$2" ] ;;
    *) false ;;
  esac
}

# check_paths ROW-PREFIX ROOT ROW...: every row is "TEST RELATIVE-PATH", TEST being f (regular
# file), x (executable regular file) or d (directory).
check_paths() {
  local prefix=$1 root=$2 row kind path
  shift 2
  for row in "$@"; do
    kind=${row%% *}
    path=${row#* }
    if path_is "$kind" "$root/$path"; then
      pass
    else
      fail "$prefix.Installs:$path" "not there as ($kind) under $root"
    fi
  done
}

# The files every installation holds, relative to the prefix.
installed_rows=(
  "x bin/lagwatch"
  "f share/man/man8/lagwatch.8.gz"
  "f share/doc/lagwatch/examples/notice-template.txt"
)
# What only an installation by hand adds.
plain_rows=(
  "f share/doc/lagwatch/README.md"
  "f share/doc/lagwatch/LICENSE"
  "f share/doc/lagwatch/contrib/lagwatch.cron"
  "f share/doc/lagwatch/contrib/lagwatch.service"
  "f share/doc/lagwatch/contrib/lagwatch.timer"
  "f share/doc/lagwatch/contrib/lagwatch-failure-mail.service"
)
# Where the package's units go: the directory that systemd's pkg-config file names on this system,
# else /usr/lib/systemd/system.
unit_dir=$({ pkg-config --variable=systemdsystemunitdir systemd \
  || pkgconf --variable=systemdsystemunitdir systemd; } 2> /dev/null)
[[ $unit_dir == /* ]] || unit_dir=/usr/lib/systemd/system
# What only the Debian package adds, relative to the root.
deb_rows=(
  "f usr/share/doc/lagwatch/README.md.gz"
  "f usr/share/doc/lagwatch/copyright"
  "f usr/share/doc/lagwatch/changelog.Debian.gz"
  "f usr/share/doc/lagwatch/examples/lagwatch.cron"
  "f usr/share/lintian/overrides/lagwatch"
  "f ${unit_dir#/}/lagwatch.service"
  "f ${unit_dir#/}/lagwatch.timer"
  "f ${unit_dir#/}/lagwatch-failure-mail.service"
  "d var/lib/lagwatch"
)

# check_exactly ROW-NAME DIR PATH...: the files under DIR are exactly these (relative) paths.
check_exactly() {
  local name=$1 dir=$2
  shift 2
  local got want
  got=$(cd "$dir" && find . -type f | sed 's|^\./||' | sort)
  want=$(printf '%s\n' "$@" | sort)
  if [ "$got" = "$want" ]; then
    pass
  else
    fail "$name" "files differ (< expected, > installed): $(diff <(echo "$want") <(echo "$got"))"
  fi
}

cached() {  # cached NAME: the value of a setting in BUILD_DIR's CMake cache
  sed -n "s/^$1:[A-Z]*=//p" "$build_dir/CMakeCache.txt"
}

expect() {  # expect ROW-NAME ACTUAL WANTED
  if [ "$2" = "$3" ]; then pass; else fail "$1" "got '$2', want '$3'"; fi
}

# The one top-level entry of DIR must be NAME: nothing is installed beside the prefix.
check_only_entry() {  # check_only_entry ROW-NAME DIR NAME
  local entries
  entries=$(cd "$2" && ls -A)
  if [ "$entries" != "$3" ]; then
    fail "$1" "entries of $2: $(echo "$entries" | tr '\n' ' ')"
  else
    pass
  fi
}

man_page_lint() {
  need mandoc mandoc
  fresh_scratch
  local page
  # The installed page is the source page with this build's paths; both must lint clean. Only
  # cross references to manuals that this machine lacks (qmail's own) are let through.
  for page in "$source_dir/doc/lagwatch.8" "$build_dir/man/lagwatch.8"; do
    mandoc -T lint -W style "$page" > "$scratch/lint" 2>&1
    if grep -v -e 'STYLE: referenced manual not found' -e 'outdated mandoc.db' "$scratch/lint" \
        > "$scratch/lint.left"; then
      fail "ManPageLintsClean:$page" "$(cat "$scratch/lint.left")"
    else
      pass
    fi
  done
  # man(1) renders the installed, compressed page without a warning from groff.
  if command -v man > /dev/null; then
    MANWIDTH=80 man --warnings -l "$build_dir/man/man8/lagwatch.8.gz" > "$scratch/man.out" \
      2> "$scratch/man.err"
    if [ -s "$scratch/man.err" ] || ! grep -q '^LAGWATCH(8)' "$scratch/man.out"; then
      fail "ManRendersInstalledPage" "$(head -5 "$scratch/man.err")"
    else
      pass
    fi
  else
    echo "note: man is not installed; the page was rendered by mandoc only"
  fi
  # The installed page is headed by its volume and footed with the program's name and version,
  # under man-db's groff as under mandoc: never "BSD".
  local version renders=() render renderer out
  version=$(sed -n 's/^project(lagwatch VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
  mandoc -T ascii "$build_dir/man/lagwatch.8" > "$scratch/mandoc.out"
  renders+=("mandoc|$scratch/mandoc.out")
  [ -s "$scratch/man.out" ] && renders+=("man-db|$scratch/man.out")
  for render in "${renders[@]}"; do
    IFS='|' read -r renderer out <<< "$render"
    sed 's/.\x08//g' "$out" | grep -v '^ *$' | tr -s ' ' > "$scratch/plain.out"
    expect "ManPage.HeadedByVolume:$renderer" "$(head -n 1 "$scratch/plain.out")" \
      "LAGWATCH(8) System Manager's Manual LAGWATCH(8)"
    expect "ManPage.FootedWithVersion:$renderer" \
      "$(tail -n 1 "$scratch/plain.out" | cut -d ' ' -f 1,2)" "lagwatch $version"
  done
  # Plain text without the overstrikes of bold and underlined words, blanks and lines squeezed:
  # the renderer may break a sentence anywhere.
  mandoc -T ascii "$source_dir/doc/lagwatch.8" | sed 's/.\x08//g' | tr -s ' \n' '  ' \
    > "$scratch/page.txt"
  # What an admin must find in the page, each as it appears in the rendered text.
  local rows=(
    "SynopsisNamesEveryOption|lagwatch [-dmNr] [-b count] [-f template] [-t seconds] [-x address]"
    "SynopsisNamesHelp|lagwatch -h | --help"
    "CopyBytesDefault|Default: the entire message."
    "CopyBytesCutMarker|[...]"
    "DebugOption|-d      Show debugging messages"
    "TemplateOption|-f template"
    "MimeOption|-m      Encode the copy of the original message as a MIME attachment"
    "PrintOnlyOption|-N      Don't send messages, just print them out"
    "RcpthostsOption|-r      Only respond to senders with a domain listed in qmail's rcpthosts"
    "AgeDefault|Default: 14400 (4 hours)."
    "ExtraRecipientOption|-x address"
    "HelpOption|-h, --help"
    "WindowRule|lastrun < expiry <= now"
    "TemplateArgumentMe|the host name, the first line of /var/qmail/control/me"
    "TemplateArgumentAge|the age text"
    "TemplateArgumentLifetime|the lifetime text"
    "ExitStatusZero|0       The run walked the whole queue"
    "ExitStatusOne|1       A usage error"
    "ExitStatusRefused|100     The run walked the whole queue and updated the run file"
    "ExitStatusFailure|111     Any other failure"
    "ExitStatusForCron|To cron:"
    "FileMe|/var/qmail/control/me"
    "FileQueuelifetime|/var/qmail/control/queuelifetime"
    "FileRcpthosts|/var/qmail/control/rcpthosts"
    "FileMorercpthosts|/var/qmail/control/morercpthosts.cdb"
    "FileQueue|/var/qmail/queue"
    "FileInjector|/var/qmail/bin/qmail-inject"
    "FileRunFile|/var/lib/lagwatch/lagwatch.time"
    "FirstRunLooksFirst|lagwatch -N | grep -c '^Subject: delayed delivery notice'"
    "FirstRunSeedsRunFile|date +%s | tr -d '\\n' > /var/lib/lagwatch/lagwatch.time"
    "RebootKeepsRunFile|keep the run file and its journal under /var/lib, which a reboot leaves alone"
    "RunFileBuildSetting|LAGWATCH_RUN_FILE"
    "QmailHomeBuildSetting|LAGWATCH_QMAIL_HOME"
    "NeedsRootOrQmails|must run as root or as qmails"
  )
  local row name text
  for row in "${rows[@]}"; do
    name=${row%%|*}
    text=${row#*|}
    if grep -qF -- "$(tr -s ' ' <<< "$text")" "$scratch/page.txt"; then
      pass
    else
      fail "ManPage.$name" "rendered page lacks: $text"
    fi
  done
  # Every option letter of the help screen has its own entry in OPTIONS.
  local letter
  for letter in b d f m N r t x h; do
    if grep -q "^\.It Fl $letter\b" "$source_dir/doc/lagwatch.8"; then
      pass
    else
      fail "ManPage.OptionEntry-$letter" "no '.It Fl $letter' entry"
    fi
  done
  finish
}

install_tree() {
  fresh_scratch
  local root=$scratch/root
  if ! DESTDIR=$root cmake --install "$build_dir" --prefix /usr/local > "$scratch/install.log" 2>&1
  then
    fail "InstallSucceeds" "$(tail -5 "$scratch/install.log")"
    finish
  fi
  # Beside the prefix, only the run file's directory, made empty (/var/lib/lagwatch by default).
  local state_dir top
  state_dir=$(dirname "$(cached LAGWATCH_RUN_FILE)")
  top=${state_dir#/}
  top=${top%%/*}
  check_only_entry "InstallsOnlyUnderDestdirPrefixAndStateDir" "$root" \
    "$(printf '%s\n' usr "$top" | sort -u)"
  check_only_entry "InstallsOnlyUnderPrefix" "$root/usr" local
  if [ "$top" != usr ]; then
    expect "InstallsEmptyStateDirectory" \
      "$(find "$root/$top" ! -type d | wc -l) $([ -d "$root$state_dir" ] && echo made)" "0 made"
  fi
  check_paths "Install" "$root/usr/local" "${installed_rows[@]}" "${plain_rows[@]}"
  local rows=("${installed_rows[@]}" "${plain_rows[@]}")
  check_exactly "InstallsNothingElse" "$root/usr/local" "${rows[@]#? }"
  check_only_entry "InstallsOneProgram" "$root/usr/local/bin" lagwatch
  if ! gzip -dc "$root/usr/local/share/man/man8/lagwatch.8.gz" > "$scratch/lagwatch.8"; then
    fail "ManPageIsGzip" "gzip -d failed"
  elif ! cmp -s "$scratch/lagwatch.8" "$build_dir/man/lagwatch.8"; then
    fail "ManPageIsThisBuildsPage" "differs from $build_dir/man/lagwatch.8"
  else
    pass
  fi
  check_help "Install" "$root/usr/local/bin/lagwatch"
  # The man page and scheduler files name the configured prefix's program: an installation under
  # another prefix stops before it installs anything, and says how to configure one.
  local other=$scratch/other-prefix
  if DESTDIR=$other cmake --install "$build_dir" --prefix /opt/elsewhere \
      > "$scratch/other-prefix.log" 2>&1; then
    fail "OtherPrefixRefused" "installed under /opt/elsewhere"
  else
    expect "OtherPrefixRefusedWithAdvice" \
      "$(tr -s ' \n' '  ' < "$scratch/other-prefix.log" | grep -o 'configure it with -DCMAKE_INSTALL_PREFIX=/opt/elsewhere')" \
      "configure it with -DCMAKE_INSTALL_PREFIX=/opt/elsewhere"
    expect "OtherPrefixInstallsNothing" "$(find "$other" -type f 2> /dev/null)" ""
  fi
  finish
}

# A build with another qmail home, run file and prefix installs a man page and scheduler files
# that name them, and builds a program that uses them. configure_other TREE SETTING...: configures
# a build tree beside the scratch directory with these settings; false when that fails.
configure_other() {
  local tree=$1 generator
  shift
  generator=$(cached CMAKE_GENERATOR)
  cmake -S "$source_dir" -B "$scratch/$tree" -G "$generator" -DLAGWATCH_TESTS=OFF "$@" \
    > "$scratch/$tree.log" 2>&1 || { fail "Configure:$tree" "$(tail -5 "$scratch/$tree.log")"; false; }
}

localized_paths() {
  fresh_scratch
  local home=/opt/qmail-test run_file=/var/lib/lagwatch-test/lagwatch.time prefix=/opt/lagwatch-test
  local metrics=/srv/metrics-test/lagwatch-test.prom version
  version=$(sed -n 's/^project(lagwatch VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
  configure_other build -DLAGWATCH_QMAIL_HOME="$home" -DLAGWATCH_RUN_FILE="$run_file" \
    -DLAGWATCH_METRICS_FILE="$metrics" -DCMAKE_INSTALL_PREFIX="$prefix" || finish
  local rows=(
    "ManPageNamesControlDir|man/lagwatch.8|$home/control/me"
    "ManPageNamesQueue|man/lagwatch.8|$home/queue"
    "ManPageNamesInjector|man/lagwatch.8|$home/bin/qmail-inject"
    "ManPageNamesRunFile|man/lagwatch.8|$run_file"
    "ManPageSeedsTheRunFile|man/lagwatch.8|tr -d '\\en' > $run_file"
    "ManPageNamesProgram|man/lagwatch.8|$prefix/bin/lagwatch -m -b 4096"
    "ManPageFootedWithVersion|man/lagwatch.8|.Os lagwatch $version"
    "FailureMailUsesInjector|contrib/lagwatch-failure-mail.service|$home/bin/qmail-inject"
    "ServiceStartsProgram|contrib/lagwatch.service|/run/lock/lagwatch.lock $prefix/bin/lagwatch"
    "ManPageNamesMetricsFile|man/lagwatch.8|$metrics"
    "ServiceWritesItsPaths|contrib/lagwatch.service|ReadWritePaths=${run_file%/*} $home/queue /run/lock -${metrics%/*}"
    "ServiceNeedsQueue|contrib/lagwatch.service|ConditionPathIsDirectory=$home/queue"
    "ServiceMakesStateDir|contrib/lagwatch.service|StateDirectory=lagwatch-test"
    "CronStartsProgram|contrib/lagwatch.cron|/run/lock/lagwatch.lock $prefix/bin/lagwatch ||"
  )
  local row name file text
  for row in "${rows[@]}"; do
    IFS='|' read -r name file text <<< "$row"
    if grep -qF -- "$text" "$scratch/build/$file"; then
      pass
    else
      fail "OtherPaths.$name" "$file lacks: $text"
    fi
  done
  # No default path is left behind in the localized copies.
  for file in man/lagwatch.8 contrib/lagwatch.cron contrib/lagwatch.service \
      contrib/lagwatch-failure-mail.service; do
    if grep -n -E -e '/var/qmail|/var/run/lagwatch\.time|/usr/local/bin/lagwatch' \
        -e '/var/lib/lagwatch([^-]|$)' -e '/var/lib/prometheus' "$scratch/build/$file"; then
      fail "OtherPaths.NoDefaultPathLeft:$file" "a default path is still named"
    else
      pass
    fi
  done
  # Only the cron file of a build whose run file is emptied at boot seeds it at boot.
  expect "OtherPaths.CronSeedsNothingAtBoot" "$(grep -c '@reboot' "$scratch/build/contrib/lagwatch.cron")" 0
  local volatile=/run/lagwatch/lagwatch.time
  configure_other volatile -DLAGWATCH_RUN_FILE="$volatile" || finish
  expect "VolatileRunFile.CronSeedsItAtBoot" \
    "$(grep '^#@reboot' "$scratch/volatile/contrib/lagwatch.cron")" \
    "#@reboot root date +\\%s | tr -d '\\n' > $volatile"
  expect "VolatileRunFile.ServiceHasNoStateDirectory" \
    "$(grep -c '^StateDirectory=' "$scratch/volatile/contrib/lagwatch.service") $(grep -c \
      '^ReadWritePaths=-/run/lagwatch ' "$scratch/volatile/contrib/lagwatch.service")" "0 1"
  finish
}

# The package is built as the README says: a build tree of its own, for the prefix /usr.
deb_tree=$build_dir/packaging-test/debian_package/build

debian_package() {
  need dpkg-deb dpkg
  need dpkg-shlibdeps dpkg-dev
  need cpack cmake
  need lintian lintian
  fresh_scratch
  local tree=$deb_tree generator
  generator=$(sed -n 's/^CMAKE_GENERATOR:INTERNAL=//p' "$build_dir/CMakeCache.txt")
  if ! { cmake -S "$source_dir" -B "$tree" -G "$generator" -DCMAKE_BUILD_TYPE=Release \
      -DLAGWATCH_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr \
      && cmake --build "$tree" -j2 && (cd "$tree" && cpack -G DEB); } > "$scratch/build.log" 2>&1
  then
    fail "CpackBuildsDeb" "$(tail -10 "$scratch/build.log")"
    finish
  fi
  # A build whose run file is not in a directory of its own under /var/lib, or that installs
  # elsewhere than under /usr, makes no package: its units and man page would name other paths.
  # Setting (as in the cache) | what its value must match for a package | what cpack says else.
  local refusals=(
    "LAGWATCH_RUN_FILE|/var/lib/[^/]*/[^/]*|under /var/lib"
    "CMAKE_INSTALL_PREFIX|/usr|configure with -DCMAKE_INSTALL_PREFIX=/usr"
  )
  local refusal setting usable says
  for refusal in "${refusals[@]}"; do
    IFS='|' read -r setting usable says <<< "$refusal"
    [[ $(cached "$setting") =~ ^($usable)$ ]] && continue
    if cpack --config "$build_dir/CPackConfig.cmake" -G DEB -B "$scratch/refused" \
        > "$scratch/refused.log" 2>&1 || ! grep -q -- "$says" "$scratch/refused.log"; then
      fail "DebRefusesBuildFor:$setting" "$(tail -5 "$scratch/refused.log")"
    else
      pass
    fi
  done
  # The package's version: the project's, with the Debian revision of the newest changelog entry.
  local version deb_version arch deb
  version=$(sed -n 's/^project(lagwatch VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
  deb_version=$(dpkg-parsechangelog -l "$source_dir/cmake/debian/changelog" -S Version)
  arch=$(dpkg --print-architecture)
  deb=$tree/lagwatch_${deb_version}_${arch}.deb
  if [ -z "$version" ] || [[ $deb_version != "$version"-* ]] || [ ! -f "$deb" ]; then
    fail "DebNamedAfterProjectVersion" "no $deb (project $version); made: $(ls "$tree"/*.deb)"
    finish
  fi
  pass
  # Control fields: FIELD|extended regular expression the whole value must match.
  local rows=(
    "Package|lagwatch"
    "Version|${deb_version//./\\.}"
    "Architecture|$arch"
    "Section|mail"
    "Priority|optional"
    "Maintainer|.+ <.+@.+>"
    "Depends|(.*, )?libc6 \\(>= [0-9][^)]*\\)(, .*)?"
    "Description|delayed delivery notices for the qmail queue"
  )
  local row field pattern value
  for row in "${rows[@]}"; do
    field=${row%%|*}
    pattern=${row#*|}
    value=$(dpkg-deb -f "$deb" "$field" | head -n 1)
    if [[ $value =~ ^($pattern)$ ]]; then
      pass
    else
      fail "DebField.$field" "'$value' does not match '$pattern'"
    fi
  done
  # Depends follows the binary: libstdc++6 is listed exactly when the program links it.
  local needs_cxx=0 lists_cxx=0
  if objdump -p "$tree/src/lagwatch" 2> /dev/null | grep -q 'NEEDED.*libstdc++'; then
    needs_cxx=1
  fi
  if dpkg-deb -f "$deb" Depends | grep -q 'libstdc++6'; then
    lists_cxx=1
  fi
  if [ "$needs_cxx" = "$lists_cxx" ]; then
    pass
  else
    fail "DebDependsFollowTheBinary" "Depends: $(dpkg-deb -f "$deb" Depends)"
  fi
  if [ "$(dpkg-deb -I "$deb" control | grep -c '^ ')" -ge 3 ]; then
    pass
  else
    fail "DebHasLongDescription" "$(dpkg-deb -I "$deb" control)"
  fi
  local root=$scratch/root
  if ! dpkg -x "$deb" "$root"; then
    fail "DebExtracts" "dpkg -x failed"
    finish
  fi
  local files=() file_row
  for file_row in "${installed_rows[@]}"; do files+=("usr/${file_row#? }"); done
  for file_row in "${deb_rows[@]}"; do [[ $file_row != f* ]] || files+=("${file_row#f }"); done
  check_exactly "DebHoldsNothingElse" "$root" "${files[@]}"
  if command -v readelf > /dev/null; then
    if readelf -S "$root/usr/bin/lagwatch" | grep -q '\.debug_info'; then
      fail "DebProgramIsStripped" "usr/bin/lagwatch still has .debug_info"
    else
      pass
    fi
  fi
  check_help "Deb" "$root/usr/bin/lagwatch"
  # The copyright file carries LICENSE's holder and terms.
  local copyright=$root/usr/share/doc/lagwatch/copyright
  expect "DebCopyrightHolder" "$(sed -n 's/^Copyright: //p' "$copyright")" \
    "$(sed -n 's/^Copyright (c) //p' "$source_dir/LICENSE")"
  expect "DebCopyrightIsLicense" "$(sed '1,/^License: Expat$/d; s/^ //; s/^\.$//' "$copyright")" \
    "$(sed '1,/^Copyright/d' "$source_dir/LICENSE" | tail -n +2)"
  # The package's run file survives reboots, so its cron example seeds nothing at boot.
  expect "DebCronSeedsNothingAtBoot" \
    "$(grep -c -e @reboot -e /var/run "$root/usr/share/doc/lagwatch/examples/lagwatch.cron")" 0
  # Its scheduler files start the packaged program, never one found through the search path.
  expect "DebServiceStartsPackagedProgram" \
    "$(grep -c '^ExecStart=/usr/bin/flock .* /usr/bin/lagwatch$' "$root$unit_dir/lagwatch.service")" 1
  expect "DebCronStartsPackagedProgram" \
    "$(grep -c '^\*/15 .* /usr/bin/flock .* /usr/bin/lagwatch ||' "$root/usr/share/doc/lagwatch/examples/lagwatch.cron")" 1
  # The README, compressed as Debian's policy wants, is the source tree's.
  if gzip -dc "$root/usr/share/doc/lagwatch/README.md.gz" | cmp -s - "$source_dir/README.md"; then
    pass
  else
    fail "DebReadmeIsCompressedReadme" "README.md.gz does not hold README.md"
  fi
  verify_units "Deb" "$root$unit_dir"
  # Purge resets the units' failed state, where systemd runs the system: none is left listed.
  expect "DebPurgeResetsFailedUnits" "$(dpkg-deb -I "$deb" postrm | grep -A1 -F \
    'if [ "$1" = purge ] && [ -z "${DPKG_ROOT:-}" ] && [ -d /run/systemd/system ]; then' \
    | grep -c '^ *systemctl --system reset-failed lagwatch.service lagwatch-failure-mail.service lagwatch.timer ')" 1
  # No error and no warning (the overrides, with their reasons: cmake/debian/lintian-overrides).
  if lintian --fail-on error,warning "$deb" > "$scratch/lintian.log" 2>&1; then
    pass
  else
    fail "DebLintianClean" "$(grep -v 'root privileges' "$scratch/lintian.log" | head -20)"
  fi
  finish
}

# The package installed into a scratch root by dpkg itself, maintainer scripts included; as root
# or not (--force-not-root), without chroot (the scripts honour DPKG_ROOT).
debian_install() {
  need dpkg dpkg
  need deb-systemd-helper init-system-helpers
  fresh_scratch
  local debs=("$deb_tree"/lagwatch_*.deb) root=$scratch/root
  local deb=${debs[0]}
  if [ ! -f "$deb" ]; then
    fail "PackageBuilt" "no package in $deb_tree: run the debian_package check first"
    finish
  fi
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" || exit 1
  touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available" || exit 1
  local run_file=$root/var/lib/lagwatch/lagwatch.time
  in_root() {  # in_root ROW-NAME DPKG-ARGUMENT...: dpkg acting on the scratch root must succeed
    local name=$1
    shift
    # dpkg insists on finding ldconfig and start-stop-daemon, which live in sbin.
    if PATH=$PATH:/usr/sbin:/sbin dpkg --root="$root" --force-script-chrootless \
        --force-not-root --force-depends --log="$scratch/dpkg.log" "$@" \
        > "$scratch/dpkg.out" 2>&1; then
      pass
    else
      fail "$name" "$(tail -5 "$scratch/dpkg.out")"
      finish
    fi
  }
  local before after seeded
  before=$(date +%s)
  in_root "Installs" -i "$deb"
  after=$(date +%s)
  IFS= read -r -d '' seeded < "$run_file"  # every byte: a line feed must fail the row below
  if [[ $seeded =~ ^[0-9]+$ ]] && [ "$seeded" -ge "$before" ] && [ "$seeded" -le "$after" ]; then
    pass
  else
    fail "SeedsRunFileWithInstallTime" "run file holds '$seeded', installed from $before to $after"
  fi
  check_paths "Installed" "$root" "${deb_rows[@]}"
  expect "EnablesTimer" \
    "$(readlink "$root/etc/systemd/system/timers.target.wants/lagwatch.timer")" \
    "$unit_dir/lagwatch.timer"
  expect "OwnsStateDirectory" "$(dpkg --root="$root" -S /var/lib/lagwatch 2>&1)" \
    "lagwatch: /var/lib/lagwatch"
  check_help "Installed" "$root/usr/bin/lagwatch"
  # Reinstall keeps the run file; remove keeps it and its journal; purge removes both and every
  # other trace of the package.
  printf 1796000000 > "$run_file" && printf x > "$run_file.sent" || exit 1
  in_root "Reinstalls" -i "$deb"
  in_root "Removes" -r lagwatch
  expect "RemoveKeepsStateOnly" \
    "$(cat "$run_file" "$run_file.sent"; [ -e "$root/usr/bin/lagwatch" ] && echo " +program")" \
    1796000000x
  in_root "Purges" -P lagwatch
  expect "PurgeLeavesNothing" \
    "$(cd "$root" && find . -path ./var/lib/dpkg -prune -o -name '*lagwatch*' -print)" ""
  finish
}

# verify_units ROW-PREFIX DIR: systemd-analyze finds nothing wrong with the units in DIR.
verify_units() {
  if ! command -v systemd-analyze > /dev/null; then
    echo "note: systemd-analyze is not installed; the units were checked by their lines only"
    return
  fi
  mkdir -p "$scratch/units" && cp "$2"/*.service "$2"/*.timer "$scratch/units/" || exit 1
  if (cd "$scratch/units" && systemd-analyze verify --man=no ./lagwatch.timer ./lagwatch.service \
      ./lagwatch-failure-mail.service) > "$scratch/verify.log" 2>&1; then
    pass
  else
    fail "$1.SystemdUnitsVerify" "$(cat "$scratch/verify.log")"
  fi
}

contrib_units() {
  fresh_scratch
  local cron=$build_dir/contrib/lagwatch.cron
  # This build's program, qmail home and state directory, as its scheduler files must name them.
  local program home state_dir metrics_dir
  program=$(cached CMAKE_INSTALL_PREFIX)/$(cached CMAKE_INSTALL_BINDIR)/lagwatch
  home=$(cached LAGWATCH_QMAIL_HOME)
  state_dir=$(dirname "$(cached LAGWATCH_RUN_FILE)")
  metrics_dir=$(dirname "$(cached LAGWATCH_METRICS_FILE)")
  # A state directory outside /var/lib, which systemd does not make, is optional for the service.
  local rw_state_dir=$state_dir
  [[ $state_dir == /var/lib/?* ]] || rw_state_dir=-$state_dir
  # One active job line: every 15 minutes, as root, behind flock -n -o -E 0, both by full path.
  local jobs
  jobs=$(grep -v -e '^#' -e '^$' -e '^[A-Z]*=' "$cron")
  if [ "$(printf '%s\n' "$jobs" | wc -l)" != 1 ]; then
    fail "CronHasOneJob" "$jobs"
  elif [[ ! $jobs =~ ^\*/15(\ \*){4}\ root\ /usr/bin/flock\ -n\ -o\ -E\ 0\ /[^\ ]+\ /[^\ ]+/lagwatch( |$) ]]; then
    fail "CronRunsEvery15MinutesUnderFlock" "$jobs"
  elif [[ $jobs == *%* ]]; then
    fail "CronJobHasNoBarePercent" "$jobs"
  else
    pass
  fi
  # A run file that survives a reboot needs no seeding at boot; one in /run or /var/run does.
  local volatile=0
  [[ $(cached LAGWATCH_RUN_FILE) =~ ^/(var/)?run/ ]] && volatile=1
  expect "CronSeedsRunFileAtBootOnlyWhenVolatile" "$(grep -c '^#@reboot root date ' "$cron")" \
    "$volatile"
  local rows=(
    "CronMailsRoot|lagwatch.cron|^MAILTO=root$"
    "CronFindsProgram|lagwatch.cron| /usr/bin/flock [^|]* $program \\|\\|"
    "ServiceIsOneshot|lagwatch.service|^Type=oneshot$"
    "ServiceRunsUnderFlock|lagwatch.service|^ExecStart=/usr/bin/flock -n -F -E 0 /[^ ]+ $program$"
    "ServiceMailsOnFailure|lagwatch.service|^OnFailure=lagwatch-failure-mail.service$"
    "ServiceHasTimeout|lagwatch.service|^TimeoutStartSec="
    "ServiceSkippedWithoutQmail|lagwatch.service|^ConditionPathIsDirectory=$home/queue$"
    "ServiceStopsLagwatchAlone|lagwatch.service|^KillMode=mixed$"
    "ServiceSystemReadOnly|lagwatch.service|^ProtectSystem=strict$"
    "ServiceWritesStateQueueLockAndMetrics|lagwatch.service|^ReadWritePaths=$rw_state_dir $home/queue /run/lock -$metrics_dir$"
    "ServiceLogsAsLagwatch|lagwatch.service|^SyslogIdentifier=lagwatch$"
    "ServiceNeverMakesAFirstRun|lagwatch.service|^ExecStartPre=/bin/sh -c 'test -e $(cached LAGWATCH_RUN_FILE) "
    "ServiceHidesHomes|lagwatch.service|^ProtectHome=yes$"
    "ServiceOwnTmp|lagwatch.service|^PrivateTmp=yes$"
    "ServiceUnixSocketsOnly|lagwatch.service|^RestrictAddressFamilies=AF_UNIX$"
    "ServiceNativeCallsOnly|lagwatch.service|^SystemCallArchitectures=native$"
    "ServiceReadsQueueOnly|lagwatch.service|^CapabilityBoundingSet=CAP_DAC_READ_SEARCH$"
    "TimerEvery15Minutes|lagwatch.timer|^OnCalendar=\\*:0/15$"
    "TimerInstallable|lagwatch.timer|^WantedBy=timers.target$"
    "FailureMailInjects|lagwatch-failure-mail.service|^ExecStart=.*\\| .*/bin/qmail-inject'$"
  )
  local row name file pattern
  for row in "${rows[@]}"; do
    IFS='|' read -r name file pattern <<< "$row"
    if grep -qE -- "$pattern" "$build_dir/contrib/$file"; then
      pass
    else
      fail "Contrib.$name" "$file has no line matching $pattern"
    fi
  done
  # systemd makes the state directory when it lies under /var/lib, the only place it can.
  expect "ServiceStateDirectoryIsTheRunFiles" \
    "$(grep '^StateDirectory=' "$build_dir/contrib/lagwatch.service")" \
    "$([[ $state_dir == /var/lib/?* ]] && echo "StateDirectory=${state_dir#/var/lib/}")"
  # qmail-queue is set-user-ID: NoNewPrivileges would keep it from writing into the queue.
  expect "ServiceLetsQmailQueueBecomeQmailq" \
    "$(grep -c '^NoNewPrivileges=yes' "$build_dir/contrib/lagwatch.service")" 0
  verify_units "Contrib" "$build_dir/contrib"
  # The confinement, as systemd rates it (0 = fully confined, 10 = not at all).
  if command -v systemd-analyze > /dev/null; then
    if systemd-analyze security --offline=yes --threshold=25 \
        "$scratch/units/lagwatch.service" > "$scratch/security.log" 2>&1; then
      pass
    else
      fail "ServiceExposureAtMost2.5" "$(tail -1 "$scratch/security.log")"
    fi
  fi
  finish
}

sample_queue() {
  fresh_scratch
  "$source_dir/examples/run-sample.sh" --no-build "$build_dir" > "$scratch/out" 2>&1
  local status=$?
  if [ "$status" != 0 ]; then
    fail "SampleRunsSucceed" "run-sample.sh exited $status; $(grep -B3 '^<== exit status [^0]' "$scratch/out" | head -20)"
  else
    pass
  fi
  # Section (the command after "==> lagwatch ") | fixed text | how many lines hold it.
  local rows=(
    "-N -d|Subject: delayed delivery notice|3"
    "-N -d|To: <alice@example.com>|1"
    "-N -d|To: <bob@elsewhere.example>|1"
    "-N -d|To: <carol@lists.example.org>|1"
    "-N -d|lagwatch: ignoring, bounce message|2"
    "-N -d|lagwatch: ignoring, has not yet expired|1"
    "-N -d|lagwatch: ignoring, was previously expired|1"
    "-N -d|undone=0|1"
    "-N -d|	carol@remote.example.net|1"
    "-N -d|	dave@fast.example.net|0"
    "-N -d|--- Below this line is a copy of the original message.|3"
    "-N -m|Content-Type: multipart/mixed; boundary=|3"
    "-N -m|Content-Type: message/rfc822|3"
    "-N -b 100|[...]|2"
    "-N -b 100|Noon?|1"
    "-N -f notice-template.txt|This is the mail system at mail.example.com.|3"
    "-N -f notice-template.txt|Your message has been received by|0"
    "-N -d -r|lagwatch: ignoring, sender was not in rcpthosts|3"
    "-N -d -r|To: <carol@lists.example.org>|1"
    "-N -d -r|Subject: delayed delivery notice|2"
    "-d|lagwatch: forking |3"
    "-d|Subject: delayed delivery notice|0"
  )
  local row section text want got
  for row in "${rows[@]}"; do
    IFS='|' read -r section text want <<< "$row"
    # The first section with that command; the real run's "-N -d" repeat comes later.
    got=$(awk -v head="==> lagwatch $section" '
      $0 == head && !seen { inside = 1; seen = 1; next }
      /^==> / { inside = 0 }
      inside' "$scratch/out" | grep -cF -- "$text")
    if [ "$got" = "$want" ]; then
      pass
    else
      fail "Sample[$section].Count:$text" "want $want lines, got $got"
    fi
  done
  # The real run handed three notices to the sample's injector and advanced the run file; the
  # run after it finds every message behind its window.
  local outbox=$build_dir/sample/qmail/outbox
  local sent
  sent=$(find "$outbox" -name 'notice.*.args' 2> /dev/null | wc -l)
  if [ "$sent" = 3 ]; then pass; else fail "SampleRealRunSendsThree" "outbox has $sent"; fi
  local args_rows=(
    "-f||-a|alice@example.com"
    "-f||-a|bob@elsewhere.example"
    "-f||-a|carol@lists.example.org"
  )
  for row in "${args_rows[@]}"; do
    if cat "$outbox"/notice.*.args 2> /dev/null | tr '\n' '|' | grep -qF -- "|$row|"; then
      pass
    else
      fail "SampleInjectorArgs:$row" "no injector call with $row"
    fi
  done
  local last
  last=$(awk '/^==> lagwatch -N -d$/ { n++ } n == 2' "$scratch/out")
  if [ "$(grep -c 'was previously expired' <<< "$last")" = 7 ] \
      && [ "$(grep -c 'has not yet expired' <<< "$last")" = 1 ] \
      && ! grep -q 'Subject:' <<< "$last"; then
    pass
  else
    fail "SampleSecondRunSendsNothing" "$(head -20 <<< "$last")"
  fi
  local before after
  before=$(sed -n 's/^Run file: .* holds \([0-9]*\) .*/\1/p' "$scratch/out")
  after=$(sed -n 's/^==> run file: \([0-9]*\)$/\1/p' "$scratch/out")
  if [ -n "$before" ] && [ -n "$after" ] && [ "$after" -ge "$((before + 1800))" ]; then
    pass
  else
    fail "SampleRunFileAdvances" "run file before '$before', after the real run '$after'"
  fi
  finish
}

case $check in
  man_page_lint | install_tree | localized_paths | debian_package | debian_install | contrib_units \
    | sample_queue)
    "$check" ;;
  *)
    echo "usage: packaging_test.sh CHECK SOURCE_DIR BUILD_DIR" >&2
    exit 2
    ;;
esac
