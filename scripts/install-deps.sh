#!/usr/bin/env bash
# Installs what building, running and testing Micro Burner needs on Debian 12.
set -euo pipefail
pkgs=(build-essential cmake pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev
      qt6-base-dev libgl-dev libjpeg-dev libssl-dev libxxhash-dev xorriso genisoimage libarchive-tools python3-pycdlib xvfb
      udftools 7zip util-linux gddrescue
      libsystemd-dev python3-dbusmock dbus-daemon dbus-bin libcli11-dev
      clang libclang-rt-14-dev
      help2man desktop-file-utils appstream lintian bash-completion dpkg-dev file man-db)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
