#!/usr/bin/env bash
# Installs, builds, and records the bundled sample folder onto a virtual blank CD-R.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMBURN_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target mburn_cli vrecorder vrecorder_lib
mkdir -p out
disc="$PWD/out/sample-disc.iso"
rm -f "$disc" "$disc.state"
./build/mburn burn sample --virtual "$disc:cd-r"
echo
echo "The disc image is $disc"
./build/mburn disc --virtual "$disc"
echo
echo "What is on it, as bsdtar reads it:"
bsdtar -tvf "$disc"
