#!/usr/bin/env bash
# Media floods, run by hand: abandoned and queued thumbnail requests then SIGTERM, a burst of thumbnail and
# conversion requests for videos not probed before, subtitle extractions whose clients leave, and a stop in
# the middle of a burst (bench/media_flood.py). Everything runs inside a private network namespace that
# has only loopback.
#   bench/media_flood.sh [BUILD_DIR]     (default: build/bench, built in Release when missing)
# Environment: FLOODS (default "200 1000"), BURST (default "100 150"), LEAVING (default 8), STOPBURST
# (default "200 50 50 10": thumbnails, subtitles, conversions, seconds to SIGTERM), REPEATS (default 3),
# SCENARIOS (default "floods burst leaving stopburst").
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$ROOT/build/bench}"
FLOODS="${FLOODS:-200 1000}"
BURST="${BURST:-100 150}"
LEAVING="${LEAVING:-8}"
STOPBURST="${STOPBURST:-200 50 50 10}"
REPEATS="${REPEATS:-3}"
SCENARIOS="${SCENARIOS:-floods burst leaving stopburst}"

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
want() { [[ " $SCENARIOS " == *" $1 "* ]]; }
for repeat in $(seq "$REPEATS"); do
  if want floods; then
    for count in $FLOODS; do
      python3 "$ROOT/bench/media_flood.py" "$BUILD/bin/calvoro" abandoned "$count"
      python3 "$ROOT/bench/media_flood.py" "$BUILD/bin/calvoro" queued "$count"
    done
  fi
  # shellcheck disable=SC2086
  if want burst; then python3 "$ROOT/bench/media_flood.py" "$BUILD/bin/calvoro" burst $BURST; fi
  if want leaving; then python3 "$ROOT/bench/media_flood.py" "$BUILD/bin/calvoro" leaving "$LEAVING"; fi
  # shellcheck disable=SC2086
  if want stopburst; then python3 "$ROOT/bench/media_flood.py" "$BUILD/bin/calvoro" stopburst $STOPBURST; fi
done
