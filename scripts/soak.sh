#!/usr/bin/env bash
# Soak check (not part of CI): runs zelshow headless, without writing frames, on the demo scene
# and on a slideshow of generated pictures, side by side for MINUTES minutes. Every 10 s it
# samples each process's resident memory and thread count, then prints the curve and the
# growth after the first minute (warm-up). Exits 1 when either process grew by 1% or more, or
# when a process stopped early.
#   scripts/soak.sh MINUTES            (BUILD=dir to use another build folder, default build)
set -euo pipefail
cd "$(dirname "$0")/.."
MINUTES=${1:?usage: scripts/soak.sh MINUTES}
[[ $MINUTES =~ ^[0-9]+$ ]] && ((MINUTES >= 2)) || { echo "soak: MINUTES must be 2 or more" >&2; exit 2; }
BUILD=${BUILD:-build}
INTERVAL=10
LIMIT_PERCENT=1

if [ ! -x "$BUILD/bin/zelshow" ]; then
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$BUILD" --target zelshow
fi
export MESA_SHADER_CACHE_DIR=$PWD/$BUILD/mesa-cache ALSOFT_DRIVERS=null
export LD_LIBRARY_PATH=$PWD/$BUILD/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}

WORK=$(mktemp -d)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

# Pictures for the slideshow: opaque and translucent PNGs of a few sizes.
python3 - "$WORK" <<'EOF'
import struct, sys, zlib
def png(path, w, h, alpha, seed):
    rows = bytearray()
    for y in range(h):
        rows.append(0)
        for x in range(w):
            px = [(x * 255 // w + seed) & 255, (y * 255 // h) & 255, ((x ^ y) + seed * 7) & 255]
            if alpha: px.append((x + y) * 255 // (w + h))
            rows += bytes(px)
    def chunk(t, d): return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d))
    ihdr = struct.pack('>IIBBBBB', w, h, 8, 6 if alpha else 2, 0, 0, 0)
    with open(path, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', ihdr) + chunk(b'IDAT', zlib.compress(bytes(rows), 6)) + chunk(b'IEND', b''))
for i, (w, h, a) in enumerate([(800, 600, False), (1024, 768, True), (640, 480, False), (300, 900, True)]):
    png(f'{sys.argv[1]}/slide{i}.png', w, h, a, i * 40)
EOF

start_show() { # name, args...
  local name=$1; shift
  "$BUILD/bin/zelshow" --headless "$@" >"$WORK/$name.log" 2>&1 &
  PIDS+=($!)
}
start_show demo
start_show slides --slide 2 "$WORK"/slide*.png
NAMES=(demo slides)

status_field() { # pid, field -> value (first number)
  awk -v f="$2:" '$1 == f { print $2; exit }' "/proc/$1/status" 2>/dev/null || true
}

echo "soak: $MINUTES min, sampling every ${INTERVAL}s (RSS in KiB)"
printf '%6s' "t(s)"
for n in "${NAMES[@]}"; do printf '  %12s %8s' "$n rss" threads; done
echo
declare -A RSS
samples=$((MINUTES * 60 / INTERVAL))
t0=$(date +%s)
for ((i = 1; i <= samples; i++)); do
  sleep $((t0 + i * INTERVAL - $(date +%s))) 2>/dev/null || true
  t=$((i * INTERVAL))
  printf '%6d' "$t"
  for k in "${!PIDS[@]}"; do
    p=${PIDS[$k]}
    rss=$(status_field "$p" VmRSS)
    thr=$(status_field "$p" Threads)
    if [ -z "$rss" ]; then
      echo
      echo "soak: ${NAMES[$k]} stopped after ${t}s:" >&2
      tail -n 5 "$WORK/${NAMES[$k]}.log" >&2
      exit 1
    fi
    RSS[$k,$i]=$rss
    printf '  %12d %8d' "$rss" "$thr"
  done
  echo
done

warm=$((60 / INTERVAL))
result=0
for k in "${!PIDS[@]}"; do
  base=${RSS[$k,$warm]}
  last=${RSS[$k,$samples]}
  peak=$base
  for ((i = warm; i <= samples; i++)); do ((RSS[$k,$i] > peak)) && peak=${RSS[$k,$i]}; done
  growth=$(awk -v a="$base" -v b="$last" 'BEGIN { printf "%+.2f", (b - a) * 100 / a }')
  peak_growth=$(awk -v a="$base" -v b="$peak" 'BEGIN { printf "%+.2f", (b - a) * 100 / a }')
  echo "soak: ${NAMES[$k]}: ${base} KiB at 60 s -> ${last} KiB at $((samples * INTERVAL)) s:" \
    "growth ${growth}% (peak ${peak_growth}%)"
  awk -v g="$growth" -v l="$LIMIT_PERCENT" 'BEGIN { exit !(g >= l) }' && result=1
done
frames=$(grep -ho 'frame [0-9]*' "$WORK"/demo.log | tail -n 1 || true)
echo "soak: demo reached ${frames:-no frame}"
exit $result
