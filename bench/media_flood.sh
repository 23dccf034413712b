#!/usr/bin/env bash
# Media floods, run by hand: abandoned and queued thumbnail requests then SIGTERM, and a burst of thumbnail and
# conversion requests for videos not probed before (bench/media_flood.py). Everything runs inside a
# private network namespace that has only loopback.
#   bench/media_flood.sh [BUILD_DIR]     (default: build/bench, built in Release when missing)
# Environment: FLOODS (default "200 1000"), BURST (default "100 150"), REPEATS (default 3).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$ROOT/build/bench}"
FLOODS="${FLOODS:-200 1000}"
BURST="${BURST:-100 150}"
REPEATS="${REPEATS:-3}"

if [ -z "${CALVORO_BENCH_INSIDE:-}" ]; then
  for tool in ffmpeg python3; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
  done
  [ -f "$BUILD/CMakeCache.txt" ] || cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$BUILD" -j 3 --target calvoro >/dev/null
  exec unshare -rn env CALVORO_BENCH_INSIDE=1 bash -c 'ip link set lo up && exec "$0" "$@"' "$0" "$BUILD"
fi

# ---- inside the namespace
ulimit -n 8192
echo "# Calvoro media floods, $(date -u +%Y-%m-%dT%H:%MZ), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
for repeat in $(seq "$REPEATS"); do
  for count in $FLOODS; do
    python3 "$ROOT/bench/media_flood.py" "$BUILD/bin/calvoro" abandoned "$count"
    python3 "$ROOT/bench/media_flood.py" "$BUILD/bin/calvoro" queued "$count"
  done
  # shellcheck disable=SC2086
  python3 "$ROOT/bench/media_flood.py" "$BUILD/bin/calvoro" burst $BURST
done
