#!/bin/sh
# Builds tree_bench in BUILD_DIR (default build-bench) and runs it under
# /usr/bin/time -v, which reports the peak resident memory of the process too.
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build-bench}
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DMBURN_WINDOW=OFF >/dev/null
cmake --build "$build" -j2 --target tree_bench >/dev/null
if [ -x /usr/bin/time ]; then
  /usr/bin/time -v "$build/bench/tree_bench" "$@" 2>&1 | grep -E '^(tree|directories|best|peak)|Maximum resident|Elapsed'
else
  "$build/bench/tree_bench" "$@"
fi
