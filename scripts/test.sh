#!/usr/bin/env bash
# Sets everything up and runs the whole test suite:
#   0. include check: platform headers only inside their backend folders
#   1. plain build, all tests (unit, gl, x11, media, audio, stress)
#   1b. the plain build installed; the example host built against the installed tree (CMake
#       package and pkg-config), run, and its frames checked
#   2. AddressSanitizer + UndefinedBehaviorSanitizer build, all tests
#   3. ThreadSanitizer build, the threaded tests (label stress)
#   4. libFuzzer targets (clang), each for a short bounded time
# Xvfb is started here for the x11 tests.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
echo "== include check"
bash scripts/check_includes.sh
bash scripts/setup.sh

JOBS=${JOBS:-$(nproc)}
FUZZ_SECONDS=${FUZZ_SECONDS:-20}
export MESA_SHADER_CACHE_DIR=$ROOT/build/mesa-cache
export ALSOFT_DRIVERS=null

# An X server of our own for the window tests.
XVFB_PID=
cleanup() { [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null || true; }
trap cleanup EXIT
if command -v Xvfb >/dev/null; then
  for n in $(seq 90 120); do
    if [ ! -e /tmp/.X11-unix/X$n ] && [ ! -e /tmp/.X$n-lock ]; then
      Xvfb :$n -screen 0 1280x1024x24 -nolisten tcp -noreset >/dev/null 2>&1 &
      XVFB_PID=$!
      export DISPLAY=:$n
      for _ in $(seq 50); do [ -e /tmp/.X11-unix/X$n ] && break; sleep 0.1; done
      break
    fi
  done
fi
echo "== X server: ${DISPLAY:-none}"

configure() { # dir, extra args...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
}

status=0
run_ctest() { # dir, extra args...
  local dir=$1; shift
  (cd "$dir" && ctest --output-on-failure -j"$JOBS" "$@") || status=1
}

echo "== plain build"
configure build
cmake --build build -j"$JOBS"
run_ctest build

echo "== installed tree: the example host through find_package(zel) and through pkg-config"
# The colour (r,g,b) at x,y of a PNG file.
pixel() { convert "$1" -format "%[fx:int(255*p{$2}.r+.5)],%[fx:int(255*p{$2}.g+.5)],%[fx:int(255*p{$2}.b+.5)]" info:; }
check_frame() { # file
  local at want got
  # The picture, the thick line, the background, and white text where the caption is.
  for at_want in 60,60=51,102,204 160,150=255,0,0 300,20=0,0,64 10,230=0,0,64; do
    at=${at_want%%=*} want=${at_want#*=}
    got=$(pixel "$1" "$at") || return 1
    [ "$got" = "$want" ] || { echo "$1 at $at: $got, expected $want"; return 1; }
  done
  got=$(convert "$1" -crop 200x30+20+190 -format '%[fx:int(255*minima.b+.5)],%[fx:int(255*maxima.g+.5)]' info:)
  [ "$got" = "64,255" ] || { echo "$1: no caption ($got)"; return 1; }
}
installed_example() {
  local prefix=$ROOT/build/installed ex
  rm -rf "$prefix" build/example-cmake build/example-pc
  cmake --install build --prefix "$prefix" >/dev/null || return 1
  cmake -S examples -B build/example-cmake -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null &&
    cmake --build build/example-cmake || return 1
  mkdir -p build/example-pc
  # shellcheck disable=SC2046
  c++ -std=c++17 -Wall -Wextra -Werror -o build/example-pc/minimal_host examples/minimal_host.cpp \
    $(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags --libs zel) \
    -Wl,-rpath,"$prefix/lib" || return 1
  for ex in build/example-cmake build/example-pc; do
    mkdir -p "$ex/frames"
    (cd "$ex" && ./minimal_host frames 3) || return 1
    check_frame "$ex/frames/frame_3.png" || return 1
  done
  echo "example host: built both ways, frames checked"
}
installed_example || { echo "installed example failed"; status=1; }

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
configure build-asan -DZEL_SANITIZE=address -DZEL_BUILD_BENCH=OFF
cmake --build build-asan -j"$JOBS"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:suppressions=$ROOT/tests/asan.supp \
LSAN_OPTIONS=suppressions=$ROOT/tests/lsan.supp:print_suppressions=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest build-asan

echo "== ThreadSanitizer build (threaded tests)"
configure build-tsan -DZEL_SANITIZE=thread -DZEL_BUILD_BENCH=OFF
# Only the executables of the threaded tests (ctest names are target names).
tsan_targets=$(cd build-tsan && ctest -N -L stress | awk '/Test +#/{print $3}')
cmake --build build-tsan -j"$JOBS" --target $tsan_targets
TSAN_OPTIONS=suppressions=$ROOT/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1 \
  run_ctest build-tsan -L stress

if [ -d fuzz ] && ls fuzz/*/CMakeLists.txt >/dev/null 2>&1; then
  echo "== fuzz targets (${FUZZ_SECONDS}s each)"
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZEL_SANITIZE=address -DZEL_BUILD_FUZZ=ON -DZEL_BUILD_TESTS=OFF -DZEL_BUILD_BENCH=OFF >/dev/null
  cmake --build build-fuzz -j"$JOBS"
  # Seeds made by the tests' own encoders (no binary samples in the tree).
  rm -rf build-fuzz/seeds
  build-fuzz/bin/make_fuzz_seeds build-fuzz/seeds
  fuzz/media/make_seeds.sh build-fuzz/seeds/fuzz_media_open
  mkdir -p build-fuzz/seeds/fuzz_swf && build-fuzz/bin/make_swf_seeds build-fuzz/seeds/fuzz_swf
  for f in build-fuzz/bin/fuzz_*; do
    [ -x "$f" ] || continue
    name=$(basename "$f")
    corpus=$ROOT/fuzz/corpus/${name#fuzz_}
    # Seeds the plain build's image tests wrote (GIF, WebP, BMP, EXIF pictures).
    tseeds=$ROOT/build/tests/images/fuzz-seeds/${name#fuzz_}
    mkdir -p build-fuzz/corpus/$name
    seeds=()
    [ -d "$corpus" ] && seeds+=("$corpus")
    [ -d build-fuzz/seeds/$name ] && seeds+=("build-fuzz/seeds/$name")
    [ -d "$tseeds" ] && seeds+=("$tseeds")
    log=build-fuzz/$name.log
    ASAN_OPTIONS=detect_leaks=1:suppressions=$ROOT/tests/asan.supp \
      "$f" -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=2048 -print_final_stats=0 \
      build-fuzz/corpus/$name "${seeds[@]}" >"$log" 2>&1 || { status=1; tail -n 20 "$log"; }
    # The final coverage: a target whose libraries lost their instrumentation drops to a few
    # hundred counters or less.
    last=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -n 1 || true)
    printf '%-24s %s\n' "$name" "$(echo "$last" | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[^ ]+' || echo 'no coverage line')"
  done
fi

# Run the plain suite's summary last so the closing line is the whole suite's.
echo "== summary"
if [ $status -eq 0 ]; then
  (cd build && ctest -N | tail -n 1)
  echo "all stages passed"
else
  echo "some stage failed"
fi
exit $status
