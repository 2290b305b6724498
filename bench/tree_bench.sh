#!/bin/sh
# Builds tree_bench in BUILD_DIR (default build-bench) and runs it under
# /usr/bin/time -v, which reports the peak resident memory of the process too.
#
#   tree_bench.sh [tree_bench options]      the component alone
#   tree_bench.sh --side-by-side [--million] [--dir PATH]
#                                           mburn image, genisoimage and xorriso on
#                                           the same tree (made by tree_bench): time,
#                                           peak memory, metadata sectors; then
#                                           an update session of 1,000 files
#                                           that imports the whole tree
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
  # Each tool's time runs until its image is on the disk: mburn syncs the file
  # before it says it is written, the others leave that to the sync after them.
  /usr/bin/time -f "%e %M" -o "$out/time" sh -c '"$@" && sync' sh "$@" >/dev/null 2>"$out/err" ||
    { echo "$name failed:"; cat "$out/err"; return; }
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

# An update session: the tree recorded onto a virtual BD-R, then 1,000 new files
# recorded after it, importing every entry of the first session. The import's
# time is read off mburn's trace: from the import's first line to the burn's
# start, which also holds the adding of the new files.
disc="$out/update-bd.img"
add="$out/update-add"
rm -rf "$disc" "$disc.state" "$add"
mkdir -p "$add"
i=0
while [ $i -lt 1000 ]; do
  printf 'new file %d\n' $i > "$add/new-$i.txt"
  i=$((i + 1))
done
echo "update session on a virtual BD-R (Rock Ridge):"
for step in first update; do
  if [ $step = first ]; then src=$tree; else src=$add; fi
  sync
  /usr/bin/time -f "%e %M" -o "$out/time" "$build/mburn" burn "$src" --virtual "$disc:bd-r" --debug 2>&1 |
    /usr/bin/python3 -c 'import sys, time
imported = None
for line in sys.stdin:
    if line.startswith(">>> IMPORTING SESSION #"): imported = time.monotonic()
    if line.startswith("Burning CD - Please wait") and imported: print("%.2f" % (time.monotonic() - imported))
    if line.startswith("mburn: ") and "wrote" not in line: sys.stderr.write(line)' >"$out/import"
  if grep -q "exited with" "$out/time"; then echo "$step failed: $(head -1 "$out/time")"; break; fi
  read -r seconds kib < "$out/time"
  awk -v n="$step" -v s="$seconds" -v k="$kib" -v imp="$(cat "$out/import")" \
    'BEGIN { printf "%-12s %8.2f s %8.1f MiB%s (the recording waits of about 7 s included)\n", n, s, k / 1024,
             imp == "" ? "" : sprintf(", import %.2f s", imp) }'
done
rm -rf "$disc" "$disc.state" "$add" "$out/import"
