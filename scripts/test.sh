#!/usr/bin/env bash
# Sets up a fresh Debian 12 or 13 machine, builds ipcamera and runs its test suite.
# Long soak and fuzz runs sit behind CTest labels and are not part of this run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
BUILD=${BUILD_DIR:-build}
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD" -j"$(nproc)"
cd "$BUILD"
ctest --output-on-failure -j2 --timeout 600 -LE 'soak|fuzz|slow'
