#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer + ASan + UBSan) and runs each for
# the given number of seconds (default 60), starting from the seed corpora in
# tests/fuzz/corpus/<target>. Exits non-zero when a target finds a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
budget=${1:-60}
ls tests/fuzz/*_fuzz.cpp >/dev/null 2>&1 || { echo "no fuzz targets"; exit 0; }
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMBURN_FUZZ=ON >/dev/null
cmake --build build-fuzz -j"$(nproc)"
for src in tests/fuzz/*_fuzz.cpp; do
  name=$(basename "$src" .cpp)
  work="build-fuzz/corpus-$name"
  mkdir -p "$work"
  seeds=()
  [ -d "tests/fuzz/corpus/$name" ] && seeds+=("tests/fuzz/corpus/$name")
  echo "== $name for ${budget}s"
  ASAN_OPTIONS=detect_leaks=1 ./build-fuzz/tests/fuzz/"$name" -max_total_time="$budget" \
    -rss_limit_mb=2048 -print_final_stats=1 "$work" "${seeds[@]}" 2>&1 | tail -n 12
  [ "${PIPESTATUS[0]}" -eq 0 ] || { echo "$name found a fault"; exit 1; }
done
