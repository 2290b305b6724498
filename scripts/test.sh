#!/usr/bin/env bash
# Installs, builds and runs every test: once as built for use (then installed
# and packaged), once more under AddressSanitizer + UndefinedBehaviorSanitizer,
# the tests whose threads meet (drive control, streams, recording, the window
# and mburn) under ThreadSanitizer, then the fuzz targets briefly.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

# The readers that judge our images, and the tools the install test uses. A
# missing one stops the run here, naming its package: a test that needs it
# must never be skipped.
judges=(xorriso:xorriso bsdtar:libarchive-tools isoinfo:genisoimage genisoimage:genisoimage
        xvfb-run:xvfb lintian:lintian help2man:help2man desktop-file-validate:desktop-file-utils
        appstreamcli:appstream file:file man:man-db ddrescuelog:gddrescue dbus-daemon:dbus-daemon
        dbus-send:dbus-bin)
for j in "${judges[@]}"; do
  command -v "${j%%:*}" >/dev/null || { echo "test.sh: ${j%%:*} is missing: install the Debian package ${j#*:}" >&2; exit 1; }
done
/usr/bin/python3 -c 'import pycdlib' 2>/dev/null ||
  { echo "test.sh: pycdlib is missing for /usr/bin/python3: install the Debian package python3-pycdlib" >&2; exit 1; }
# The logind stand-in of the sleep-lock tests.
/usr/bin/python3 -c 'import dbusmock' 2>/dev/null ||
  { echo "test.sh: dbusmock is missing for /usr/bin/python3: install the Debian package python3-dbusmock" >&2; exit 1; }
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

tsan=-fsanitize=thread
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMBURN_WINDOW=ON -DMBURN_BENCH=OFF \
  -DCMAKE_C_FLAGS="$tsan" -DCMAKE_CXX_FLAGS="$tsan" \
  -DCMAKE_EXE_LINKER_FLAGS="$tsan" -DCMAKE_SHARED_LINKER_FLAGS="$tsan" >/dev/null
# The window tests and mburn's tests too; those run the mburn and vrecorder
# programs of this build, so they are built with ThreadSanitizer as well.
cmake --build build-tsan -j"$jobs" --target test_drive test_stream test_record \
  test_window test_app mburn_cli vrecorder
# Only those programs are built: the other programs' placeholders, and the
# large-file run of mburn, are left out. Every report goes to a file of its own,
# so that one from an mburn run inside a test is not lost in its captured output;
# any report fails the run. Qt's libraries are not instrumented: scripts/tsan.supp.
tsan_reports=$PWD/build-tsan/tsan-reports
rm -rf "$tsan_reports"
mkdir -p "$tsan_reports"
tsan_status=0
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp:log_path=$tsan_reports/report" \
  ctest --test-dir build-tsan --output-on-failure -j"$jobs" -E '_NOT_BUILT$|^large_files$' ||
  tsan_status=$?
if compgen -G "$tsan_reports/report.*" >/dev/null; then
  cat "$tsan_reports"/report.* >&2
  echo "test.sh: ThreadSanitizer reported the races above" >&2
  exit 1
fi
[ "$tsan_status" -eq 0 ] || exit "$tsan_status"

if [ -x scripts/fuzz.sh ]; then
  ./scripts/fuzz.sh 60
fi
