#!/usr/bin/env bash
# Sets everything up, builds, and runs the demo presentation.
# With a display the demo opens a window; without one it renders headless.
# Frames are written as PNG files to out/demo (override with OUT=DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
OUT=${OUT:-$PWD/out/demo}
mkdir -p "$OUT"
export MESA_SHADER_CACHE_DIR=$PWD/build/mesa-cache
FRAMES=${FRAMES:-100}
./build/bin/zelshow --frames "$FRAMES" --out "$OUT" "$@"
echo "demo frames written to $OUT"
