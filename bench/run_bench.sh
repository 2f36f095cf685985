#!/bin/bash
# Queue-walk and notice benchmarks, side by side with their floors.
#
#   bash bench/run_bench.sh [SIZE...]        (default sizes: 10000 100000 1000000)
#
# Environment: LAGWATCH_BENCH_BUILD (build directory, default <repo>/build-bench), REPS (timed
# repetitions of each command, default 7), FULL_QUEUE=1 (write local/, remote/ and mess/ for the
# largest queues too; by default queues above 100000 messages get info/ only, which is all the
# walk reads, to spare some 4 million files and the time to write them).
#
# Builds what it needs (cmake -DLAGWATCH_BENCH=ON), generates the queues once under the build
# tree (later runs reuse them), and then, with warm caches, alternating the commands and taking
# medians:
#   1. walk of a queue with no due message: lagwatch, the floor (getdents64 + one fstatat per
#      entry), and GNU find with the same test; ratios and lagwatch's peak resident memory; and
#      lagwatch once more with its metrics file written, against itself without;
#   2. notices for 1,000 due messages of 100 KB: -N into /dev/null against cat of the same
#      message files (MB/s), and the sink injector against a bare fork-exec-wait loop (notices/s).
# Prints the figures and keeps them in <build>/bench-results.txt. Nothing here fails on a time.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${LAGWATCH_BENCH_BUILD:-$repo/build-bench}
reps=${REPS:-7}
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(10000 100000 1000000)
age=14400
notice_count=1000
notice_mess_size=102400

say() { printf '%s\n' "$*" | tee -a "$results"; }
die() { echo "run_bench: $*" >&2; exit 1; }

# Build: only the benchmark's own targets.
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$repo" -B "$build" "${generator[@]}" -DLAGWATCH_BENCH=ON -DLAGWATCH_TESTS=OFF >/dev/null
else
  cmake "$build" -DLAGWATCH_BENCH=ON >/dev/null
fi
cmake --build "$build" -j2 --target lagwatch_bench gen_queue floor_walk forkloop inject_sink timeit \
  >/dev/null || die "build failed (cmake --build $build --target lagwatch_bench shows why)"

bin=$build/bench
lagwatch=$bin/lagwatch_bench
timeit=$bin/timeit
sandbox=$build/bench-sandbox
home=$sandbox/qmail
run_file=$sandbox/lagwatch.time
metrics_dir=$run_file.metrics  # where the bench build writes lagwatch.prom, when it exists
queues=$build/bench-queues
results=$build/bench-results.txt
: >"$results"

mkdir -p "$home/control" "$home/bin" "$queues"
echo bench.example.org >"$home/control/me"
echo 604800 >"$home/control/queuelifetime"
install -m 0755 "$bin/inject_sink" "$home/bin/qmail-inject"

# use_queue DIR: the sandbox's qmail home now has DIR as its queue.
use_queue() { ln -sfn "$1" "$home/queue"; }

# ensure_queue NAME [OPTION...] COUNT: generates the queue NAME with gen_queue unless a queue made
# with the same arguments is there already.
ensure_queue() {
  local name=$1
  shift
  local dir=$queues/$name
  if [ -f "$dir.args" ] && [ "$(cat "$dir.args")" = "$*" ]; then
    return 0
  fi
  rm -rf "$dir" "$dir.args"
  "$bin/gen_queue" "${@:1:$#-1}" "$dir" "${@: -1}" >/dev/null
  echo "$*" >"$dir.args"
}

# median / minimum of the numbers on standard input, one a line.
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
minimum() { sort -g | head -n 1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# timed LABEL ARGS...: runs ARGS under timeit, appends "LABEL wall rss cpu" to $samples, and
# stops the benchmark when the command fails or writes to standard error.
timed() {
  local label=$1
  shift
  local line
  line=$("$timeit" "$@" 2>"$build/bench-stderr") || die "timeit failed for $label"
  [ ! -s "$build/bench-stderr" ] || die "$label wrote to standard error: $(head -c 300 "$build/bench-stderr")"
  # shellcheck disable=SC2086  # the line is split into its fields on purpose
  set -- $line
  [ "$3" = 0 ] || die "$label exited with status $3"
  echo "$label $1 $2 $4" >>"$samples"
}

# Figures of one label in $samples: wall median, wall minimum, CPU median, peak RSS maximum.
column() { awk -v l="$1" -v c="$2" '$1 == l { print $c }' "$samples"; }
wall() { column "$1" 2 | median; }
wall_min() { column "$1" 2 | minimum; }
cpu() { column "$1" 4 | median; }
rss() { column "$1" 3 | sort -n | tail -n 1; }
# describe LABEL: "wall 0.1234 s (min 0.1200), cpu 0.1100 s"
describe() { printf 'wall %.4f s (min %.4f), cpu %.4f s' "$(wall "$1")" "$(wall_min "$1")" "$(cpu "$1")"; }

# syscalls_per_entry COUNT COMMAND...: system calls per queue entry, counted with strace.
syscalls_per_entry() {
  local count=$1
  shift
  command -v strace >/dev/null || { echo "n/a"; return; }
  strace -f -c -o "$build/bench-strace" "$@" >/dev/null 2>&1 || { echo "n/a"; return; }
  awk -v n="$count" '$NF == "total" { printf "%.2f", $(NF - 2) / n }' "$build/bench-strace"
}

cpu_model=$(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')
fstype=$(findmnt -n -o FSTYPE -T "$queues" 2>/dev/null || stat -f -c %T "$queues")
build_type=$(grep -m1 CMAKE_BUILD_TYPE: "$build/CMakeCache.txt" | sed "s/.*=//")
compiler=$(grep -m1 CMAKE_CXX_COMPILER: "$build/CMakeCache.txt" | sed "s/.*=//")
say "lagwatch benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC')"
say "machine: $(nproc) CPUs ($cpu_model), $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), kernel $(uname -r), file system $fstype, load average $(cut -d' ' -f1-3 /proc/loadavg)"
# shellcheck disable=SC2185  # GNU find, asked only for its version
say "build: ${build_type:-RelWithDebInfo, the project default}, $("$compiler" --version | head -n 1); $(find --version | head -n 1)"
say "each command $reps times, alternating, warm caches; medians (wall minimum in brackets); cpu = user + system of the command and its children"
say ""

# 1. The walk.
say "== Walk of a queue with no due message (threshold $age s)"
declare -A peak
for n in "${sizes[@]}"; do
  name=walk-$n
  if [ "$n" -gt 100000 ] && [ "${FULL_QUEUE:-0}" != 1 ]; then
    ensure_queue "$name" --info-only "$n"
    files="info/ only"
  else
    ensure_queue "$name" "$n"
    files="info/, local/, remote/, mess/"
  fi
  q=$queues/$name
  "$bin/gen_queue" --touch "$q" >/dev/null  # every message at most an hour old: none due
  use_queue "$q"
  cut=$(($(date +%s) - age))
  walk_lagwatch=("$lagwatch")
  walk_floor=("$bin/floor_walk" "$q" "$age")
  walk_find=(-C "$q" find info -type f ! -newermt "@$cut")

  # Warm the caches and check that every command sees no due message.
  rm -f "$run_file"
  "${walk_lagwatch[@]}" >"$build/bench-out" 2>&1 || die "lagwatch failed on $name: $(head -c 300 "$build/bench-out")"
  [ ! -s "$build/bench-out" ] || die "lagwatch wrote output on $name: $(head -c 300 "$build/bench-out")"
  [ "$("${walk_floor[@]}")" = "floor_walk: $n messages, 0 due" ] || die "floor walk disagrees on $name"
  [ -z "$(cd "$q" && find info -type f ! -newermt "@$cut")" ] || die "find sees due messages in $name"

  samples=$build/bench-samples-walk-$n
  : >"$samples"
  # lagwatch runs twice in each round: without its metrics file (its directory missing) and with
  # it (the directory there, the file replaced by every run).
  for ((r = 0; r < reps; r++)); do
    for k in 0 1 2 3; do
      case $(((k + r) % 4)) in
        0) rm -rf "$metrics_dir"; timed lw "${walk_lagwatch[@]}" ;;
        1) timed floor "${walk_floor[@]}" ;;
        2) timed find "${walk_find[@]}" ;;
        3)
          mkdir -p "$metrics_dir"
          timed lwm "${walk_lagwatch[@]}"
          [ -s "$metrics_dir/lagwatch.prom" ] || die "lagwatch wrote no metrics file on $name"
          ;;
      esac
    done
  done
  rm -rf "$metrics_dir"
  peak[$n]=$(rss lw)
  sc_lw=
  sc_lwm=
  sc_fl=
  if [ "$n" -le 100000 ]; then
    mkdir -p "$metrics_dir"
    sc_lwm=", $(syscalls_per_entry "$n" "$lagwatch") system calls per message"
    rm -rf "$metrics_dir"
    sc_lw=", $(syscalls_per_entry "$n" "$lagwatch") system calls per message"
    sc_fl=", $(syscalls_per_entry "$n" "${walk_floor[@]}") system calls per message"
  fi
  say "$n messages ($files):"
  say "  lagwatch  $(describe lw), peak RSS $(rss lw) KiB$sc_lw"
  say "  lagwatch writing its metrics file  $(describe lwm), peak RSS $(rss lwm) KiB$sc_lwm"
  say "  floor     $(describe floor), peak RSS $(rss floor) KiB$sc_fl"
  say "  find      $(describe find), peak RSS $(rss find) KiB"
  say "  lagwatch/floor: wall $(ratio "$(wall lw)" "$(wall floor)"), cpu $(ratio "$(cpu lw)" "$(cpu floor)");" \
    "lagwatch/find: wall $(ratio "$(wall lw)" "$(wall find)"), cpu $(ratio "$(cpu lw)" "$(cpu find)")"
  say "  with metrics/without: wall $(ratio "$(wall lwm)" "$(wall lw)") (minimum $(ratio "$(wall_min lwm)" "$(wall_min lw)")), cpu $(ratio "$(cpu lwm)" "$(cpu lw)")"
done
if [ ${#sizes[@]} -gt 1 ]; then
  small=${sizes[0]}
  large=${sizes[${#sizes[@]} - 1]}
  say "lagwatch peak RSS: $(for n in "${sizes[@]}"; do printf '%s KiB at %s; ' "${peak[$n]}" "$n"; done)growth from $small to $large messages: $((peak[$large] - peak[$small])) KiB"
fi
say ""

# 2. Notices.
say "== Notices: $notice_count due messages of $notice_mess_size bytes each"
name=notice-$notice_count
ensure_queue "$name" --due "$notice_count" --mess-size "$notice_mess_size" --no-bounces "$notice_count"
q=$queues/$name
use_queue "$q"
mess_files=()
while IFS= read -r f; do mess_files+=("$f"); done < <(cd "$q" && find mess -type f | sort)
[ ${#mess_files[@]} -eq "$notice_count" ] || die "the notice queue has ${#mess_files[@]} message files"

# Warm up and measure the notice text once.
rm -f "$run_file"
"$lagwatch" -N >"$build/bench-notices" 2>"$build/bench-stderr" || die "lagwatch -N failed"
notices=$(grep -c '^Subject: delayed delivery notice$' "$build/bench-notices" || true)
[ "$notices" = "$notice_count" ] || die "lagwatch -N wrote $notices notices, not $notice_count"
notice_bytes=$(wc -c <"$build/bench-notices")
mess_bytes=$(cd "$q" && cat "${mess_files[@]}" | wc -c)
per_notice=$((notice_bytes / notice_count))
"$lagwatch" -N -b 0 >"$build/bench-notices" 2>"$build/bench-stderr" || die "lagwatch -N -b 0 failed"
short_notice=$(($(wc -c <"$build/bench-notices") / notice_count))
rm -f "$build/bench-notices"

samples=$build/bench-samples-notice
: >"$samples"
for ((r = 0; r < reps; r++)); do
  if ((r % 2)); then
    timed cat -C "$q" cat "${mess_files[@]}"
    timed print "$lagwatch" -N
  else
    timed print "$lagwatch" -N
    timed cat -C "$q" cat "${mess_files[@]}"
  fi
done
mbs() { awk -v b="$1" -v t="$2" 'BEGIN { printf "%.0f", b / t / 1e6 }'; }
print_mbs=$(mbs "$notice_bytes" "$(wall print)")
cat_mbs=$(mbs "$mess_bytes" "$(wall cat)")
say "-N into /dev/null: $notice_bytes bytes of notices, $(describe print), $print_mbs MB/s, peak RSS $(rss print) KiB"
say "cat of the same message files into /dev/null: $mess_bytes bytes, $(describe cat), $cat_mbs MB/s"
say "  -N/cat: wall $(ratio "$print_mbs" "$cat_mbs"), cpu (bytes per cpu second) $(ratio "$(mbs "$notice_bytes" "$(cpu print)")" "$(mbs "$mess_bytes" "$(cpu cat)")")"

# Through the sink injector: the whole notices, then notices without the copy of the message
# (-b 0), against a fork-exec-wait loop of the same injector that pipes nothing (bare) or the same
# number of bytes per notice.
injector=$home/bin/qmail-inject
loop=("$bin/forkloop" "$injector" "$notice_count")
for ((r = 0; r < reps; r++)); do
  for k in 0 1 2 3 4; do
    case $(((k + r) % 5)) in
      0) rm -f "$run_file"; timed inject "$lagwatch" ;;  # no run file: every message due again
      1) rm -f "$run_file"; timed inject_b0 "$lagwatch" -b 0 ;;
      2) timed bare "${loop[@]}" ;;
      3) timed fed "${loop[@]}" "$per_notice" ;;
      4) timed fed_b0 "${loop[@]}" "$short_notice" ;;
    esac
  done
done
rm -f "$run_file"
rate() { awk -v n="$notice_count" -v t="$1" 'BEGIN { printf "%.0f", n / t }'; }
line() { say "$(printf '  %-44s %5s/s, %s' "$1" "$(rate "$(wall "$2")")" "$(describe "$2")")"; }
say "notices per second through the sink injector (1 process per notice):"
line "lagwatch, whole notices ($per_notice bytes)" inject
line "lagwatch -b 0, notices of $short_notice bytes" inject_b0
line "bare fork-exec-wait loop, nothing piped" bare
line "the loop piping $per_notice bytes each" fed
line "the loop piping $short_notice bytes each" fed_b0
# rates: LABEL BASE: "wall W, cpu C", the rate of LABEL over the rate of BASE, from the wall and the
# CPU medians.
rates() { printf 'wall %s, cpu %s' "$(ratio "$(wall "$2")" "$(wall "$1")")" "$(ratio "$(cpu "$2")" "$(cpu "$1")")"; }
say "  lagwatch/bare loop: whole notices $(rates inject bare); -b 0 $(rates inject_b0 bare)"
say "  lagwatch/loop piping the same bytes: whole notices $(rates inject fed); -b 0 $(rates inject_b0 fed_b0)"
say ""
say "results kept in $results"
