#!/usr/bin/env bash
# Thumbnails, run by hand: the whole thumbnail request to the real server (calvoro -s, seeded state.xml)
# beside its yardstick, the exact ffmpeg grab the server runs for it, on a 60 s 1080p H.264 clip at
# 320x240 and the offset 4 s. The two are interleaved (grab, request, grab, request, ...), both pinned to
# the same cores with taskset (the server's ffmpeg inherits the server's pinning); ROUNDS rounds of RUNS
# pairs each; every round reports both medians and their difference, then the median and spread of the
# rounds. Everything runs inside a private network namespace that has only loopback.
#   bench/thumbnail_bench.sh [BUILD_DIR]     (default: build/bench, built in Release when missing)
# Environment: ROUNDS (default 3), RUNS (default 10), CORES (taskset list, default 0-3).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$ROOT/build/bench}"
ROUNDS="${ROUNDS:-3}"
RUNS="${RUNS:-10}"
PIN="${CORES:-0-3}"

if [ -z "${CALVORO_BENCH_INSIDE:-}" ]; then
  for tool in curl ffmpeg taskset python3; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
  done
  if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  cmake --build "$BUILD" -j "$(nproc)" --target calvoro Segmenter
  exec unshare -rn env CALVORO_BENCH_INSIDE=1 bash -c 'ip link set lo up && exec "$0" "$@"' "$0" "$BUILD"
fi

# ---- inside the namespace
WORK="$(mktemp -d /tmp/calvoro-thumb-bench-XXXXXX)"
SERVER_PID=""
cleanup() {
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

PORT=18690
echo "# Calvoro thumbnails, $(date -u +%Y-%m-%d), $(nproc) cores, pinned to $PIN, load $(cut -d' ' -f1-3 /proc/loadavg)," \
  "$(ffmpeg -version | head -1 | cut -d' ' -f1-3)"

mkdir -p "$WORK/home/Calvoro" "$WORK/clips"
ffmpeg -v error -nostdin -y -f lavfi -i "testsrc2=size=1920x1080:rate=25:duration=60" -c:v libx264 -preset veryfast \
  -g 250 -pix_fmt yuv420p "$WORK/clips/film.mp4"
cat > "$WORK/home/Calvoro/state.xml" <<XML
<?xml version="1.0"?>
<CalvoroState>
<VideoFolders><Folder><Path>$WORK/clips</Path><Alias>Clips</Alias></Folder></VideoFolders>
<Authorized><UniqueID>bench-device</UniqueID></Authorized>
<HttpPort>$PORT</HttpPort>
<UpnpEnabled>0</UpnpEnabled>
</CalvoroState>
XML
# A minute for each grab: on a loaded machine one can take more than the usual 5 s, and a request that
# gives up measures nothing.
XDG_DATA_HOME="$WORK/home" CALVORO_MEDIA_RUN_LIMIT_MS=60000 taskset -c "$PIN" "$BUILD/bin/calvoro" -s >/dev/null 2>&1 &
SERVER_PID=$!
for _ in $(seq 100); do
  curl -s -o /dev/null -X HEAD "http://127.0.0.1:$PORT/" && break
  sleep 0.1
done
SESSION=$(curl -s -X POST --data '<Device><Announce><Name>Bench</Name><UniqueID>bench-device</UniqueID></Announce></Device>' \
  "http://127.0.0.1:$PORT/video/announce/" | sed -n 's:.*<SessionID>\(.*\)</SessionID>.*:\1:p')
[ -n "$SESSION" ] || { echo "no session" >&2; exit 1; }
BODY='<Thumbnail><resolution width="320" height="240"/><timeoffset seconds="4"/></Thumbnail>'
URL="http://127.0.0.1:$PORT/video/thumbnails/Clips/film.mp4?SessionID=$SESSION"

# One request first, so both sides start with the clip in the page cache.
curl -s -o /dev/null -X POST --data "$BODY" "$URL"

now() { date +%s.%N; }
: > "$WORK/times"
for round in $(seq "$ROUNDS"); do
  for run in $(seq "$RUNS"); do
    start=$(now)
    taskset -c "$PIN" ffmpeg -nostdin -y -threads 1 -ss 4 -i "file:$WORK/clips/film.mp4" -vcodec png -frames:v 1 -update 1 -an \
      -f image2 "file:$WORK/grab.jpg.png" 2>/dev/null
    grab=$(python3 -c "print($(now) - $start)")
    status=$(curl -s -o "$WORK/reply.jpg" -w '%{http_code} %{time_total}' -X POST --data "$BODY" "$URL")
    [ "${status%% *}" = 200 ] || { echo "request failed: $status" >&2; exit 1; }
    echo "$round $grab ${status#* }" >> "$WORK/times"
  done
done

python3 - "$WORK/times" <<'PY'
import statistics, sys
rounds = {}
for line in open(sys.argv[1]):
    r, grab, request = line.split()
    rounds.setdefault(int(r), []).append((float(grab), float(request)))
diffs, grabs, requests = [], [], []
print("| round | ffmpeg alone, median s | whole request, median s | request - ffmpeg, s |")
print("|---|---|---|---|")
for r, pairs in sorted(rounds.items()):
    g = statistics.median(p[0] for p in pairs)
    q = statistics.median(p[1] for p in pairs)
    grabs.append(g); requests.append(q); diffs.append(q - g)
    print(f"| {r} | {g:.3f} | {q:.3f} | {q - g:+.3f} |")
print()
print(f"median of rounds: ffmpeg alone {statistics.median(grabs):.3f} s, request {statistics.median(requests):.3f} s, "
      f"difference {statistics.median(diffs):+.3f} s (spread {min(diffs):+.3f} to {max(diffs):+.3f}); goal: +0.150 s or less")
PY
