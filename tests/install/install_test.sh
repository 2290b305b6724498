#!/usr/bin/env bash
# The installed program: installs a build folder into a new prefix and uses it
# from another folder (burn and image on the sample with a virtual recorder),
# validates the menu entry, the AppStream file, the manual pages and the bash
# completion, builds a program against the installed library both ways
# (pkg-config and find_package), then makes the Debian package, checks it with
# lintian and installs and removes it. Usage: install_test.sh [BUILD_DIR]
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$src/build}" && pwd)
tmp=$(mktemp -d /tmp/mburn-install-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "install test: $*" >&2; exit 1; }
step() { echo "-- $*"; }

prefix=$tmp/prefix
step "cmake --install into $prefix"
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log"
for f in bin/mburn bin/vrecorder bin/microburner include/microburner/iso/iso.h \
         share/man/man1/mburn.1.gz share/man/man1/vrecorder.1.gz share/man/man1/microburner.1.gz \
         share/bash-completion/completions/mburn share/icons/hicolor/48x48/apps/microburner.png \
         share/icons/hicolor/scalable/apps/microburner.svg; do
  [ -e "$prefix/$f" ] || fail "$f was not installed"
done
libdir=$(dirname "$(find "$prefix" -name libmburn.a)")
[ -n "$(find "$prefix" -name libmburn-vrecorder.so)" ] || fail "no libmburn-vrecorder.so"

# From elsewhere, with the build folder out of reach: the library must be the installed one.
mkdir "$tmp/work" && cd "$tmp/work"
mv "$build/libmburn-vrecorder.so" "$tmp/hidden.so"
restore() { mv "$tmp/hidden.so" "$build/libmburn-vrecorder.so"; }
step "mburn burn and mburn image from the prefix"
if ! "$prefix/bin/mburn" burn "$src/sample" --virtual d.iso >burn.out 2>burn.err; then
  restore; cat burn.out burn.err; fail "mburn burn failed"
fi
"$prefix/bin/mburn" image "$src/sample" -o i.iso >image.out 2>&1 || { restore; fail "mburn image failed"; }
restore
grep -qx "Burning Done - Sucsessfull" burn.out || fail "no success line: $(cat burn.out)"
for iso in d.iso i.iso; do
  mkdir "x-$iso" && bsdtar -xf "$iso" -C "x-$iso"
  diff -r "$src/sample" "x-$iso" || fail "$iso does not hold the sample"
done
"$prefix/bin/mburn" --version | grep -q "^mburn (Micro Burner) " || fail "mburn --version"

step "desktop entry, metainfo, manual pages"
desktop-file-validate "$prefix"/share/applications/*.desktop
appstreamcli validate --no-net "$prefix"/share/metainfo/*.metainfo.xml >appstream.out ||
  { cat appstream.out; fail "appstreamcli validate"; }
for page in "$prefix"/share/man/man1/*.1.gz; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page: $warnings"
  lexgrog "$page" >/dev/null || fail "$page has no NAME line lexgrog reads"
done

step "bash completion"
bash_completion=/usr/share/bash-completion/bash_completion
if [ -r "$bash_completion" ]; then
  complete_line() {  # prints what Tab offers after the words given
    bash -c 'source "$1"; source "$2"; shift 2
             COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
             _mburn mburn "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
             printf "%s\n" "${COMPREPLY[@]}"' _ "$bash_completion" \
      "$prefix/share/bash-completion/completions/mburn" "$@"
  }
  mkdir -p folder.d
  [ "$(complete_line mburn bu)" = burn ] || fail "subcommand: $(complete_line mburn bu)"
  complete_line mburn burn --te | grep -qx -- --test-write || fail "burn options"
  [ "$(complete_line mburn image --te)" = "" ] || fail "image offers burn's options"
  complete_line mburn burn --virtual d.iso:dvd+ | grep -qx "dvd+rw" || fail "media after IMAGE:"
  complete_line mburn burn fold | grep -qx "folder.d" || fail "folders after burn"
  [ -L "$prefix/share/bash-completion/completions/microburner" ] || fail "no completion of microburner"
else
  echo "bash-completion is not installed: completion not checked"
fi

step "a program built against the installed library"
cat >consumer.cpp <<'CPP'
#include <iostream>
#include "iso/iso.h"
int main() {
  VEZEZadira component;
  std::cout << component.Version() << '\n';
  return component.Version().empty() ? 1 : 0;
}
CPP
PKG_CONFIG_PATH=$libdir/pkgconfig c++ consumer.cpp -o consumer-pc \
  $(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs microburner)
./consumer-pc >/dev/null || fail "pkg-config consumer"
mkdir consumer && mv consumer.cpp consumer/ && cat >consumer/CMakeLists.txt <<'CM'
cmake_minimum_required(VERSION 3.25)
project(consumer CXX)
find_package(MicroBurner 1.20 REQUIRED)
add_executable(consumer consumer.cpp)
target_link_libraries(consumer PRIVATE MicroBurner::mburn)
CM
cmake -S consumer -B consumer/build -DCMAKE_PREFIX_PATH="$prefix" >cmake.log 2>&1 &&
  cmake --build consumer/build >>cmake.log 2>&1 || { cat cmake.log; fail "find_package consumer"; }
consumer/build/consumer >/dev/null || fail "find_package consumer does not run"

step "the Debian package"
if ! command -v dpkg >/dev/null || ! command -v dpkg-shlibdeps >/dev/null; then
  echo "dpkg or dpkg-shlibdeps is missing: no package built"
  exit 0
fi
(cd "$build" && cpack -G DEB -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1) || { cat "$tmp/cpack.log"; fail "cpack"; }
deb=$(ls "$tmp"/pkg/mburn_*.deb)
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "Depends does not come from dpkg-shlibdeps"
if command -v lintian >/dev/null; then
  lintian --fail-on error "$deb" | tee lintian.out ||
    fail "lintian reports errors"
else
  echo "lintian is missing: package not checked"
fi
if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
  echo "not root or no apt-get: package not installed"
  exit 0
fi
if dpkg-query -W -f='${Status}' mburn 2>/dev/null | grep -q "install ok installed"; then
  echo "mburn is installed on this machine already: package not installed again"
  exit 0
fi
step "apt-get install ./$(basename "$deb")"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >apt.log 2>&1 || { cat apt.log; fail "apt-get install"; }
/usr/bin/mburn burn "$src/sample" --virtual deb.iso >deb.out 2>&1 &&
  grep -qx "Burning Done - Sucsessfull" deb.out || { DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq mburn; cat deb.out; fail "the packaged mburn"; }
man -w mburn >/dev/null || fail "man mburn finds no page"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq mburn >>apt.log 2>&1 || fail "apt-get purge"
[ ! -e /usr/bin/mburn ] || fail "/usr/bin/mburn is left after removal"
echo "install test: passed"
