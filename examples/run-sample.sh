#!/bin/bash
# Shows lagwatch at work on the sample qmail home in examples/qmail, without root and without
# touching a real qmail: it builds lagwatch_sample, a build of the program whose qmail home is
# BUILD_DIR/sample/qmail and whose run file is BUILD_DIR/sample/lagwatch.time, lays a fresh copy
# of the sample there, dates the messages relative to the current time, and runs the program with
# several option sets. Run it from a source tree.
#
#   examples/run-sample.sh [--no-build] [BUILD_DIR]
#
# BUILD_DIR defaults to build-sample in the source tree; a build directory that does not exist
# yet is configured without the tests, so this needs only cmake and a C++ compiler.
#
# The sample queue (see examples/README.md), with the run file saying that the previous run was
# 30 minutes ago, so the window of this run holds the messages that turned 4 hours old since:
#   18/1065493  alice@example.com        4h10m  local and remote recipients waiting, one delivered
#   13/1065511  bob@elsewhere.example    4h20m  outside sender (not in rcpthosts), short message
#    9/1065530  "" (a bounce)            4h05m  never gets a notice
#    3/1065547  "#@[]" (a double bounce) 4h15m  never gets a notice
#   18/1065562  carol@lists.example.org  4h25m  subdomain of .example.org in rcpthosts
#   13/1065580  dave@example.com         1h     not due yet
#    9/1065599  erin@example.com         6h     due in an earlier window, already notified
#    2/1065615  frank@example.com        4h12m  every recipient delivered: nothing to say
set -u

build_first=1
if [ "${1:-}" = "--no-build" ]; then
  build_first=0
  shift
fi
examples_dir=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$examples_dir")
build_dir=${1:-$source_dir/build-sample}
case $build_dir in
  /*) ;;
  *) build_dir=$PWD/$build_dir ;;
esac

if [ "$build_first" = 1 ]; then
  if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    generator=()
    if command -v ninja > /dev/null; then
      generator=(-G Ninja)
    fi
    cmake -S "$source_dir" -B "$build_dir" "${generator[@]}" -DLAGWATCH_TESTS=OFF > /dev/null \
      || exit 1
  fi
  cmake --build "$build_dir" --target lagwatch_sample || exit 1
fi
program=$build_dir/lagwatch_sample
if [ ! -x "$program" ]; then
  echo "run-sample.sh: $program is missing; build the target lagwatch_sample first" >&2
  exit 1
fi

# A fresh copy each time: a real run below advances the run file and fills the outbox.
sample=$build_dir/sample
home=$sample/qmail
rm -rf "$sample"
mkdir -p "$sample" || exit 1
cp -R "$examples_dir/qmail" "$home" || exit 1
chmod 755 "$home/bin/qmail-inject"
# qmail has all 23 split directories under each of these; git keeps only the non-empty ones.
for dir in info local remote mess; do
  for split in $(seq 0 22); do
    mkdir -p "$home/queue/$dir/$split" || exit 1
  done
done

# git keeps no modification times, and a message's age is its info file's: date them from now.
now=$(date +%s)
set_age() {  # set_age SPLIT/NAME SECONDS
  touch -d "@$((now - $2))" "$home/queue/info/$1" "$home/queue/mess/$1" || exit 1
}
set_age 18/1065493 15000
set_age 13/1065511 15600
set_age 9/1065530 14700
set_age 3/1065547 15300
set_age 18/1065562 15900
set_age 13/1065580 3600
set_age 9/1065599 21600
set_age 2/1065615 15120
printf '%s' "$((now - 1800))" > "$sample/lagwatch.time" || exit 1

failures=0
show() {  # show "WHAT IT SHOWS" ARGUMENT...
  local what=$1
  shift
  echo
  echo "==> lagwatch $*"
  echo "    ($what)"
  # -f names its file relative to the directory the program starts in: examples/.
  (cd "$examples_dir" && "$program" "$@" 2>&1)
  local status=$?
  echo "<== exit status $status"
  if [ "$status" != 0 ]; then
    failures=$((failures + 1))
  fi
}

echo "Sample qmail home: $home"
echo "Run file: $sample/lagwatch.time holds $(cat "$sample/lagwatch.time") (the previous run, 30 minutes ago)"
show "what this run would send, with the reason for every message" -N -d
show "the same notices in MIME shape, the copy as an attachment" -N -m
show "at most 100 bytes of each message; a cut copy ends with a marker" -N -b 100
show "the notice text from a template file of one's own" -N -f notice-template.txt
show "only senders in domains listed in control/rcpthosts" -N -d -r
show "a real run: the sample's qmail-inject keeps the notices in outbox/" -d
echo
echo "==> outbox"
for args in "$home"/outbox/notice.*.args; do
  [ -e "$args" ] || continue
  echo "${args%.args}: $(tr '\n' ' ' < "$args")"
done
echo "==> run file: $(cat "$sample/lagwatch.time")"
show "the next run: every message above is behind the window now" -N -d

echo
if [ "$failures" != 0 ]; then
  echo "run-sample.sh: $failures run(s) ended with a non-zero exit status" >&2
  exit 1
fi
echo "Done. The notices of the real run are in $home/outbox."
