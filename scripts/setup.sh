#!/usr/bin/env bash
# Installs everything ipcamera needs to build, test and run its demo on a
# fresh Debian machine (12 and 13). Safe to run again.
set -euo pipefail
PKGS=(
  build-essential cmake pkg-config git
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev
  libfaad-dev libjpeg62-turbo-dev libjpeg-turbo-progs
  libgtest-dev libgmock-dev libbenchmark-dev
  ffmpeg x265 libde265-examples
  libgstrtspserver-1.0-dev libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-libav
  libva-dev libdrm-dev
  clang valgrind python3
  python3-dev pybind11-dev python3-numpy python3-pytest python3-opencv
)
install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  local SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
install_missing "${PKGS[@]}"
# The clang runtime (libFuzzer, sanitizers) is versioned with clang itself:
# take the one matching the distribution's clang (14 on Debian 12, 19 on 13).
clang_major=$(dpkg-query -W -f='${Depends}' clang | sed -n 's/^clang-\([0-9][0-9]*\).*/\1/p')
if [ -z "$clang_major" ]; then
  echo "setup.sh: cannot tell the version of the installed clang" >&2
  exit 1
fi
install_missing "libclang-rt-${clang_major}-dev"
