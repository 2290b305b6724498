#!/usr/bin/env bash
# Installs, builds and runs every test: once as built for use (then installed
# and packaged), once more under AddressSanitizer + UndefinedBehaviorSanitizer,
# then the fuzz targets briefly.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
# Installed into a prefix, used from there, packaged, installed and removed.
tests/install/install_test.sh build

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DMBURN_SANITIZE=ON -DMBURN_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

if [ -x scripts/fuzz.sh ]; then
  ./scripts/fuzz.sh 60
fi
