#!/bin/sh
# Files of 4 GiB or more: a sparse 5 GiB file in an image, and a 4.2 GiB one
# recorded onto a virtual DVD+R with Rock Ridge, read back byte for byte by
# xorriso and bsdtar. Skipped (77) when the disk cannot hold the images.
# Usage: large_files_test.sh MBURN
set -eu
mburn=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/mburn-large-XXXXXX")
trap 'rm -rf "$work"' EXIT
free_kb=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
if [ "$free_kb" -lt $((12 * 1024 * 1024)) ]; then
  echo "skipped: less than 12 GiB free in $work"
  exit 77
fi
cd "$work"

# A sparse file with a few marks: at the start, across the 4 GiB boundary
# (the first extent's end) and at the end.
sparse() { # FILE SIZE
  truncate -s "$2" "$1"
  for at in 0 $((4 * 1024 * 1024 * 1024 - 10)) $(($2 - 16)); do
    printf 'mark at %08x' "$at" | dd of="$1" bs=1 seek="$at" conv=notrunc status=none
  done
}

check() { # IMAGE NAME SOURCE
  want=$(sha256sum < "$3")
  got=$(bsdtar -xOf "$1" "$2" | sha256sum)
  [ "$got" = "$want" ] || { echo "bsdtar reads $2 of $1 wrong"; exit 1; }
  mkdir x
  xorriso -abort_on FAILURE -osirrox on -indev "stdio:$1" -extract "/$2" "x/$2" > /dev/null 2>&1
  got=$(sha256sum < "x/$2")
  rm -rf x
  [ "$got" = "$want" ] || { echo "xorriso reads $2 of $1 wrong"; exit 1; }
  isoinfo -l -i "$1" | grep -q 'huge' || isoinfo -l -i "$1" | grep -q 'HUGE' || { echo "isoinfo lists no $2"; exit 1; }
}

mkdir five && sparse five/huge.bin $((5 * 1024 * 1024 * 1024)) && echo small > five/small.txt
"$mburn" image five -o five.iso > /dev/null
check five.iso huge.bin five/huge.bin
rm -f five.iso
# A DVD+R cannot hold it: refused before anything is written.
if "$mburn" burn five --virtual disc.img:dvd+r --rock-ridge > out.txt 2>&1; then
  echo "a 5 GiB folder was recorded onto a DVD+R"; exit 1
fi
grep -q "NOT ENOUGH SPACE" out.txt || { cat out.txt; exit 1; }
rm -rf five disc.img disc.img.state

mkdir dvd && sparse dvd/huge.bin $((4 * 1024 * 1024 * 1024 + 200 * 1024 * 1024))
"$mburn" burn dvd --virtual disc.img:dvd+r --rock-ridge > /dev/null
check disc.img huge.bin dvd/huge.bin
echo ok
