#!/usr/bin/env bash
# Installs, builds, and records the bundled sample folder onto a virtual blank CD-R; then
# erases a virtual CD-RW and records an image file onto it.
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
echo
echo "A rewritable disc: the sample recorded, erased, and its image file recorded as it is:"
rw="$PWD/out/sample-rw.iso"
rm -f "$rw" "$rw.state" out/sample.iso
./build/mburn burn sample --virtual "$rw:cd-rw" 2>/dev/null | tail -2
./build/mburn erase --virtual "$rw"
./build/mburn image sample -o out/sample.iso
./build/mburn write out/sample.iso --verify --eject --virtual "$rw" 2>/dev/null
