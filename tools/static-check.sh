#!/bin/bash
# Static checks: clang-tidy (the checks chosen in .clang-tidy) over every source under src/,
# then cppcheck over the same files. Exits non-zero when either reports anything.
#
# Usage: tools/static-check.sh [BUILD_DIR]
#   BUILD_DIR (default build-static) receives a clang configuration of the project, only for its
#   compile database; nothing is built. STATIC_CHECK_JOBS sets the parallel clang-tidy runs (2).
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-static}
jobs=${STATIC_CHECK_JOBS:-2}
cd "$top"

if [ ! -f "$build/compile_commands.json" ]; then
  CC=clang CXX=clang++ cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >"$build.configure.log" 2>&1 || {
    cat "$build.configure.log"
    echo "static-check: cmake configure failed" >&2
    exit 2
  }
fi

status=0
sources=$(find src -name '*.cc' | sort)
count=$(echo "$sources" | wc -l)

echo "== clang-tidy ($count files)"
tidy_log=$(mktemp)
# Each file alone, so that one failing file does not hide the others; --quiet drops the
# "N warnings generated" noise of the system headers that the header filter already hides.
if ! echo "$sources" | xargs -P "$jobs" -n 1 clang-tidy -p "$build" --quiet >"$tidy_log" 2>&1; then
  status=1
fi
if grep -E '(warning|error):' "$tidy_log" >/dev/null; then
  grep -E -A3 '(warning|error):' "$tidy_log"
  echo "clang-tidy: $(grep -cE '(warning|error):' "$tidy_log") finding(s)"
  status=1
elif [ $status -ne 0 ]; then
  cat "$tidy_log"
else
  echo "clang-tidy: clean"
fi
rm -f "$tidy_log"

echo "== cppcheck"
# googletest: knows the TEST macros of the *_test.cc files; posix: the system calls.
# Suppressed everywhere, with the reason:
# - missingIncludeSystem: the system headers are not given to cppcheck; clang-tidy sees them.
# - readdirCalled: the program is single-threaded and glibc deprecates readdir_r.
if ! cppcheck --enable=warning,performance,portability --std=c++20 --language=c++ \
  --library=googletest --library=posix -I src \
  --suppress=missingIncludeSystem --suppress=readdirCalled \
  --inline-suppr --error-exitcode=1 -q -j "$jobs" src; then
  echo "cppcheck: findings above"
  status=1
else
  echo "cppcheck: clean"
fi
exit $status
