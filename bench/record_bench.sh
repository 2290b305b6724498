#!/bin/sh
# Recording and image throughput against cat: four 1 GiB files are recorded
# onto a virtual DVD+R whose image lies on the same disk, written into an
# image file by mburn's image writer and by xorriso, and cat copies the same
# files into one file, in the same run. Everything made here is removed again.
#
#   bench/record_bench.sh [BUILD_DIR] [WORK_DIR] [ROUNDS] [fresh|rested]
#
# BUILD_DIR defaults to ./build; WORK_DIR to a new folder under /var/tmp (it
# needs about 12 GiB: the sources, the disc image and the cat output). ROUNDS
# (default 2) and the mode are passed on to record_bench, which explains them.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
work=${2:-$(mktemp -d "${TMPDIR:-/var/tmp}/mburn-record-bench-XXXXXX")}
mkdir -p "$work/src"
trap 'rm -rf "$work/src" "$work/disc.img" "$work/disc.img.state" "$work/cat.out" "$work/cat.out.iso"; rmdir "$work" 2>/dev/null || true' EXIT INT TERM

if [ ! -x "$build/bench/record_bench" ]; then
  cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j2 --target record_bench
fi

echo "making 4 x 1 GiB of source files in $work/src"
for i in 1 2 3 4; do
  head -c 1073741824 /dev/urandom > "$work/src/part$i.bin"
done

"$build/bench/record_bench" "$work/src" "$work/disc.img" "$work/cat.out" "${3:-2}" "${4:-fresh}"
