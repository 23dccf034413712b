#!/usr/bin/env bash
# What relaying a stream costs the worker thread in system calls, run by hand: the real server (calvoro -s,
# Release) streams a 90 s clip at 360p, fetched segment after segment as fast as it is made, with
# `strace -c` attached to the worker thread alone (the thread that sleeps in epoll_wait with the 250 ms
# pause) for the whole stream. The counts per chunk relayed are the calls over the chunks the worker moved
# into the segmenter (splices, and writes where a splice could not move them; none where the segmenter
# reads the transcoder's output itself), and per segment served. Inside a private network namespace that
# has only loopback.
#   bench/stream_syscalls.sh [BUILD_DIR]     (default: build/bench; PIN, default 4-7)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$ROOT/build/bench}"
PIN="${PIN:-4-7}"
# shellcheck source=bench/bench_common.sh
source "$ROOT/bench/bench_common.sh"

if [ -z "${CALVORO_BENCH_INSIDE:-}" ]; then
  for tool in curl ffmpeg strace; do
    command -v "$tool" >/dev/null || {
      apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends curl ffmpeg strace
      break
    }
  done
  [ -f "$BUILD/CMakeCache.txt" ] || cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$BUILD" -j 3 --target calvoro Segmenter >/dev/null
  exec unshare -rn env CALVORO_BENCH_INSIDE=1 bash -c 'ip link set lo up && exec "$0" "$@"' "$0" "$BUILD"
fi

bench_scratch calvoro-stream-syscalls
PORT=18688

mkdir -p "$WORK/home/Calvoro" "$WORK/clips"
ffmpeg -v error -nostdin -y -f lavfi -i "testsrc2=size=640x360:rate=29.97:duration=90" \
  -f lavfi -i sine=frequency=440:duration=90 -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac -b:a 128k \
  "$WORK/clips/clip-360p.mp4"
cat >"$WORK/home/Calvoro/state.xml" <<EOF
<?xml version="1.0"?>
<CalvoroState><VideoFolders><Folder><Path>$WORK/clips</Path><Alias>Clips</Alias></Folder></VideoFolders>
<Authorized><UniqueID>bench-device</UniqueID></Authorized><FinishedConv/>
<SDCorePercent>$((200 / $(nproc)))</SDCorePercent>
<HttpPort>$PORT</HttpPort><UpnpEnabled>0</UpnpEnabled></CalvoroState>
EOF
(cd "$BUILD/bin" && XDG_DATA_HOME="$WORK/home" exec taskset -c "$PIN" ./calvoro -s >"$WORK/server.out" 2>&1) &
SERVER=$!
PIDS+=($SERVER)
for _ in $(seq 100); do curl -s -o /dev/null -I "http://127.0.0.1:$PORT/" && break; sleep 0.1; done
SESSION=$(curl -s --data '<Device><Announce><Name>bench</Name><UniqueID>bench-device</UniqueID></Announce></Device>' \
  "http://127.0.0.1:$PORT/video/announce/" | sed -n 's:.*<SessionID>\(.*\)</SessionID>.*:\1:p')
[ -n "$SESSION" ] || { echo "no session id from the server"; cat "$WORK/server.out"; exit 1; }

# The worker: the one thread asleep in epoll_wait (232, or epoll_pwait 281) with a timeout of 250 ms (0xfa).
WORKER=""
for _ in $(seq 50); do
  for task in /proc/"$SERVER"/task/*; do
    read -r -a call <"$task/syscall" || continue
    case "${call[0]}" in 232 | 281) [ "${call[4]}" = 0xfa ] && WORKER=${task##*/} ;; esac
  done
  [ -n "$WORKER" ] && break
  sleep 0.1
done
[ -n "$WORKER" ] || { echo "the worker thread was not found"; exit 1; }

strace -c -o "$WORK/strace.txt" -p "$WORKER" 2>/dev/null &
STRACE=$!
sleep 1
url=$(curl -s --data '<Play/>' "http://127.0.0.1:$PORT/video/play/Clips/clip-360p.mp4?SessionID=$SESSION" |
  sed -n 's:.*<URL>\(.*\)</URL>.*:\1:p')
curl -s "$url" >"$WORK/index.m3u8"
bytes=0
segments=0
start=$(date +%s%N)
while read -r segment; do
  size=$(curl -sS -o /dev/null -w "%{size_download}" "$segment") || { echo "segment failed: $segment"; exit 1; }
  bytes=$((bytes + size))
  segments=$((segments + 1))
done < <(grep '^http' "$WORK/index.m3u8" | tr -d '\r')
seconds=$(awk -v a="$start" -v b="$(date +%s%N)" 'BEGIN { printf "%.1f", (b - a) / 1e9 }')
curl -s -o /dev/null "http://127.0.0.1:$PORT/video/stop/Clips/clip-360p.mp4?SessionID=$SESSION"
sleep 1
kill -INT "$STRACE"
wait "$STRACE" 2>/dev/null || true

echo "# Worker thread $WORKER, one 360p stream of 90 s: $segments segments, $bytes bytes served in ${seconds} s," \
  "load $(cut -d' ' -f1-3 /proc/loadavg)"
cat "$WORK/strace.txt"
chunks=$(awk '$NF == "splice" || $NF == "write" { n += $4 - (NF == 6 ? $5 : 0) } END { print n + 0 }' "$WORK/strace.txt")
# Where the segmenter reads the transcoder's output itself the worker relays nothing (its writes are the
# log's and the pacing's): the calls are given per segment as well.
echo "chunks relayed (splice and write calls that did not fail): $chunks; segments: $segments"
awk -v w="$chunks" -v s="$segments" 'NF >= 5 && $1 ~ /^[0-9.]+$/ && $NF != "total" {
    printf "%-16s %8d calls %8d errors  %.2f per chunk  %.2f per segment\n", $NF, $4, (NF == 6 ? $5 : 0),
      (w > 0 ? $4 / w : 0), (s > 0 ? $4 / s : 0) }' \
  "$WORK/strace.txt"
