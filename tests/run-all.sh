#!/bin/sh
# Builds lagwatch with its tests in ./build and runs every test.
# Usage: tests/run-all.sh [extra cmake arguments...]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${LAGWATCH_BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLAGWATCH_WERROR=ON "$@"
cmake --build "$build" -j2
ctest --test-dir "$build" --output-on-failure -j2
