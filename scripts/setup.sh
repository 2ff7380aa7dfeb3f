#!/usr/bin/env bash
# Installs everything ipcamera needs to build, test and run its demo on a
# fresh Debian 12 machine. Safe to run again.
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
  clang libclang-rt-14-dev valgrind python3
  python3-dev pybind11-dev python3-numpy python3-pytest python3-opencv
)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
