#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UBSan) and runs
# each for a short fixed number of inputs on its seed corpus. Longer runs:
#   build-fuzz/fuzz/<target>/<target> -max_total_time=600 <corpus dirs>
# (hevc_decode_fuzz with -max_len=1024, as its CTest run has it).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
BUILD=${BUILD_DIR:-build-fuzz}
CC=clang CXX=clang++ cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DIPCAMERA_FUZZ=ON -DIPCAMERA_BENCH=OFF
targets=$(cd "$BUILD" && ctest -N -L fuzz | sed -n 's/^ *Test *#[0-9]*: //p')
cmake --build "$BUILD" -j"$(nproc)" --target $targets
cd "$BUILD"
ctest --output-on-failure -L fuzz
