#!/usr/bin/env bash
# Sets everything up and runs the whole test suite:
#   1. plain build, all tests (unit, gl, x11, media, audio, stress)
#   2. AddressSanitizer + UndefinedBehaviorSanitizer build, all tests
#   3. ThreadSanitizer build, the threaded tests (label stress)
#   4. libFuzzer targets (clang), each for a short bounded time
# Xvfb is started here for the x11 tests.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
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
  for f in build-fuzz/bin/fuzz_*; do
    [ -x "$f" ] || continue
    name=$(basename "$f")
    corpus=$ROOT/fuzz/corpus/${name#fuzz_}
    # Seeds the plain build's image tests wrote (GIF, WebP, BMP, EXIF pictures).
    seeds=$ROOT/build/tests/images/fuzz-seeds/${name#fuzz_}
    mkdir -p build-fuzz/corpus/$name
    echo "-- $name"
    ASAN_OPTIONS=detect_leaks=1:suppressions=$ROOT/tests/asan.supp \
      "$f" -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=2048 -print_final_stats=0 \
      build-fuzz/corpus/$name $( [ -d "$corpus" ] && echo "$corpus" ) \
      $( [ -d "$seeds" ] && echo "$seeds" ) 2>&1 | tail -n 3 || status=1
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
