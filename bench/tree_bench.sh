#!/bin/sh
# Builds tree_bench in BUILD_DIR (default build-bench) and runs it under
# /usr/bin/time -v, which reports the peak resident memory of the process too.
#
#   tree_bench.sh [tree_bench options]      the component alone
#   tree_bench.sh --side-by-side [--million] [--dir PATH]
#                                           mburn image, genisoimage and xorriso on
#                                           the same tree (made by tree_bench): time,
#                                           peak memory, metadata sectors
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build-bench}
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DMBURN_WINDOW=OFF >/dev/null
cmake --build "$build" -j2 --target tree_bench mburn_cli >/dev/null
if [ "$1" != --side-by-side ]; then
  if [ -x /usr/bin/time ]; then
    /usr/bin/time -v "$build/bench/tree_bench" "$@" 2>&1 | grep -E '^(tree|directories|best|peak|per)|Maximum resident|Elapsed'
  else
    "$build/bench/tree_bench" "$@"
  fi
  exit 0
fi
shift
# The tree: made (once) by tree_bench, which also gives the component's own figures.
"$build/bench/tree_bench" --repeat 1 --rock-ridge "$@"
tree=$(/usr/bin/python3 -c 'import sys
a = sys.argv[1:]
print(a[a.index("--dir") + 1] if "--dir" in a else "/tmp/mburn-tree-bench" + ("-million" if "--million" in a else ""))' "$@")
out=${OUT_DIR:-/var/tmp}/mburn-tree-bench-images
mkdir -p "$out"
# Sectors of file data: what is left of an image is its metadata.
data=$(find "$tree" -type f -printf '%s\n' | awk '{ s += int(($1 + 2047) / 2048) } END { print s }')
run() {
  name=$1
  shift
  sync
  /usr/bin/time -f "%e %M" -o "$out/time" "$@" >/dev/null 2>"$out/err" || { echo "$name failed:"; cat "$out/err"; return; }
  read -r seconds kib < "$out/time"
  sectors=$(( $(stat -c %s "$out/$name.iso") / 2048 ))
  awk -v n="$name" -v s="$seconds" -v k="$kib" -v m=$((sectors - data)) \
    'BEGIN { printf "%-12s %8.2f s %8.1f MiB %10d metadata sectors\n", n, s, k / 1024, m }'
  rm -f "$out/$name.iso"
}
echo "same tree, Joliet and Rock Ridge, image files in $out:"
run mburn "$build/mburn" image "$tree" -o "$out/mburn.iso"
run genisoimage genisoimage -quiet -J -R -joliet-long -o "$out/genisoimage.iso" "$tree"
run xorriso xorriso -as mkisofs -quiet -J -R -joliet-long -o "$out/xorriso.iso" "$tree"
