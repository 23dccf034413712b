#!/usr/bin/env bash
# Media pipeline benchmark, run by hand: time to first segment against ffmpeg alone, a seek 8 segments
# ahead, and the steady state of a reader that takes a segment every 5 s. Runs inside a private network
# namespace that has only loopback.
#   bench/media_bench.sh [BUILD_DIR]     (default: build/bench, built in Release when missing)
# Environment: STEADY_SECONDS (default 30).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$ROOT/build/bench}"
STEADY="${STEADY_SECONDS:-30}"

if [ -z "${CALVORO_BENCH_INSIDE:-}" ]; then
  if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  cmake --build "$BUILD" -j "$(nproc)" --target calvoro_media calvoro_core calvoro_platform calvoro_kivlib Segmenter
  # Beside Segmenter, so the process layer finds "Segmenter.exe" in the program's own folder.
  g++ -std=c++17 -O2 -I"$ROOT" "$ROOT/bench/media_bench.cpp" -o "$BUILD/bin/media_bench" \
    "$BUILD/libcalvoro_media.a" "$BUILD/libcalvoro_core.a" "$BUILD/libcalvoro_platform.a" "$BUILD/libcalvoro_kivlib.a" \
    -lboost_regex -lpugixml -lcrypto $(pkg-config --libs avahi-compat-libdns_sd) $(wx-config --libs core,base) -lpthread
  exec unshare -rn env CALVORO_BENCH_INSIDE=1 bash -c 'ip link set lo up && exec "$0" "$@"' "$0" "$BUILD"
fi

# ---- inside the namespace
WORK="$(mktemp -d /tmp/calvoro-media-bench-XXXXXX)"
trap 'rm -rf "$WORK"' EXIT
# One minute of 640x360 H.264 with AAC sound, as a phone or a camera would have made it.
ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=size=640x360:rate=29.97:duration=60 \
  -f lavfi -i sine=frequency=440:duration=60 -c:v libx264 -preset medium -pix_fmt yuv420p -c:a aac -b:a 128k \
  "$WORK/clip.mp4"
echo "machine: $(nproc) cores, $(ffmpeg -version | head -1 | cut -d' ' -f1-3)"
"$BUILD/bin/media_bench" "$WORK/clip.mp4" "$WORK" "$STEADY"
