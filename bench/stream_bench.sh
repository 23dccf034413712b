#!/usr/bin/env bash
# Streaming end to end, run by hand: the real server (calvoro -s, seeded state.xml) timed from a play
# request to the last byte of segment 1 and from a seek 12 ahead to its segment, each beside ffmpeg alone
# with the server's own argument list in the same run, by turns, server, client and ffmpeg pinned to the
# same cores; then 64 clients playing files directly with byte ranges, beside nginx serving the same files.
# Everything runs inside a private network namespace that has only loopback.
#   bench/stream_bench.sh [BUILD_DIR]     (default: build/bench, built in Release when missing)
# Between the two, what the server costs: its CPU and wake-ups per second in four phases (idle, a player in
# real time, a held stream, 24 segments fetched as fast as they are made), client on other cores.
# Environment: STREAM_REPEATS (default 3; 0 leaves the play and seek out), RUNS (per repeat and clip,
# default 5; the first plays a file not yet probed), PIN (cores, default 4-7), PHASE_REPEATS (default 3; 0
# leaves the phases out), CLIENT_PIN (the phases' client, default 2-3), BENCH_SECONDS (per wrk run,
# default 10), CLIENTS (default 64), REPEATS (wrk runs per server, by turns, default 3; 0 leaves the direct
# play out), BITRATE (the video bitrate in kb/s the play requests ask for; unset: the server's default).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$ROOT/build/bench}"
# shellcheck source=bench/bench_common.sh
source "$ROOT/bench/bench_common.sh"
STREAM_REPEATS="${STREAM_REPEATS:-3}"
RUNS="${RUNS:-5}"
PIN="${PIN:-4-7}"
PHASE_REPEATS="${PHASE_REPEATS:-3}"
CLIENT_PIN="${CLIENT_PIN:-2-3}"
SECONDS_PER_RUN="${BENCH_SECONDS:-10}"
CLIENTS="${CLIENTS:-64}"
REPEATS="${REPEATS:-3}"

if [ -z "${CALVORO_BENCH_INSIDE:-}" ]; then
  # Outside the namespace: what needs the package registry or a compiler.
  tools="curl python3 ffmpeg"
  [ "$REPEATS" -gt 0 ] && tools="$tools wrk nginx"  # the direct play's client and yardstick
  for tool in $tools; do
    command -v "$tool" >/dev/null || {
      apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends wrk nginx-light curl ffmpeg
      break
    }
  done
  # A folder with no CMake cache but a bin/ of calvoro and Segmenter is a copy of another build's binaries
  # (an earlier commit, say), run as it is.
  if [ -f "$BUILD/CMakeCache.txt" ] || [ ! -x "$BUILD/bin/calvoro" ] || [ ! -x "$BUILD/bin/Segmenter" ]; then
    if [ ! -f "$BUILD/CMakeCache.txt" ]; then
      cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
    fi
    cmake --build "$BUILD" -j "$(nproc)" --target calvoro Segmenter
  fi
  g++ -std=c++17 -O2 -Wall -Wextra "$ROOT/bench/stream_bench.cpp" -o "$BUILD/bin/stream_bench" -lpthread
  exec unshare -rn env CALVORO_BENCH_INSIDE=1 bash -c 'ip link set lo up && exec "$0" "$@"' "$0" "$BUILD"
fi

# ---- inside the namespace
bench_scratch calvoro-stream-bench

SERVER_PORT=18686
NGINX_PORT=18687
FILM_SIZE=$((256 * 1024 * 1024))
FILMS=4
CORES=$(nproc)

echo "# Calvoro streaming end to end, $(date -u +%Y-%m-%d), $CORES cores, load $(cut -d' ' -f1-3 /proc/loadavg)," \
  "$(ffmpeg -version | head -1 | cut -d' ' -f1-3)$( [ "$REPEATS" -gt 0 ] && echo ", wrk $(wrk -v 2>&1 | head -n 1 | awk '{print $2}'), $(nginx -v 2>&1 | cut -d' ' -f3)")"

# ---- the clips, the films and the server
mkdir -p "$WORK/home/Calvoro" "$WORK/clips" "$WORK/films"
# 90 s of H.264 with AAC sound at 360p and at 1080p (a seek 12 ahead starts at second 60).
for size in $([ "$STREAM_REPEATS" -gt 0 ] && echo 640x360:360p 1920x1080:1080p); do
  ffmpeg -v error -nostdin -y -f lavfi -i "testsrc2=size=${size%%:*}:rate=29.97:duration=90" \
    -f lavfi -i sine=frequency=440:duration=90 -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac -b:a 128k \
    "$WORK/clip-${size##*:}.mp4"
done
# 150 s at 360p for the phases: 24 segments fetched back to back leave the run going.
[ "$PHASE_REPEATS" -gt 0 ] && ffmpeg -v error -nostdin -y -f lavfi -i "testsrc2=size=640x360:rate=29.97:duration=150" \
  -f lavfi -i sine=frequency=440:duration=150 -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac -b:a 128k \
  "$WORK/clips/phases-360p.mp4"
if [ "$REPEATS" -gt 0 ]; then
  for i in $(seq "$FILMS"); do head -c "$FILM_SIZE" /dev/urandom >"$WORK/films/film-$i.mp4"; done
  cat "$WORK"/films/* >/dev/null  # both servers read from the page cache
fi
# The stream transcoder gets ceil(SDCorePercent% of the cores) threads: 2, as in the media benchmark.
SD_PERCENT=$((200 / CORES))
cat >"$WORK/home/Calvoro/state.xml" <<EOF
<?xml version="1.0"?>
<CalvoroState><VideoFolders><Folder><Path>$WORK/clips</Path><Alias>Clips</Alias></Folder>
<Folder><Path>$WORK/films</Path><Alias>Films</Alias></Folder></VideoFolders>
<Authorized><UniqueID>bench-device</UniqueID></Authorized><FinishedConv/>
<SDCorePercent>$SD_PERCENT</SDCorePercent>
<HttpPort>$SERVER_PORT</HttpPort><UpnpEnabled>0</UpnpEnabled></CalvoroState>
EOF
(cd "$BUILD/bin" && XDG_DATA_HOME="$WORK/home" exec taskset -c "$PIN" ./calvoro -s >"$WORK/server.out" 2>&1) &
SERVER=$!
PIDS+=($SERVER)
for _ in $(seq 100); do curl -s -o /dev/null -I "http://127.0.0.1:$SERVER_PORT/" && break; sleep 0.1; done
SESSION=$(curl -s --data '<Device><Announce><Name>bench</Name><UniqueID>bench-device</UniqueID></Announce></Device>' \
  "http://127.0.0.1:$SERVER_PORT/video/announce/" | sed -n 's:.*<SessionID>\(.*\)</SessionID>.*:\1:p')
[ -n "$SESSION" ] || { echo "no session id from the server"; cat "$WORK/server.out"; exit 1; }

# ---- 1. first segment, first play and seek against ffmpeg alone, by turns, at 360p and 1080p
: >"$WORK/e2e.txt"
for repeat in $(seq "$STREAM_REPEATS"); do
  for clip in 360p 1080p; do
    echo "repeat $repeat of $STREAM_REPEATS, $clip: $RUNS runs, each followed by its yardsticks" >&2
    cp "$WORK/clip-$clip.mp4" "$WORK/clips/r$repeat-$clip.mp4"  # a new path: the first play probes it
    taskset -c "$PIN" "$BUILD/bin/stream_bench" "$SERVER_PORT" "$SESSION" "$WORK/clips" Clips "r$repeat-$clip.mp4" \
      "$WORK/home/Calvoro/cache" "$RUNS" "$SERVER" "$WORK/yardstick" | sed "s/^/clip=$clip repeat=$repeat /" |
      tee -a "$WORK/e2e.txt" >&2
  done
done
if ps -o comm= --ppid "$SERVER" | grep -qE "ffmpeg|Segmenter"; then echo "(!) a transcoder or segmenter is left running"; fi

[ "$STREAM_REPEATS" -gt 0 ] && python3 - "$WORK/e2e.txt" <<'EOF2'
import statistics, sys
rows = []
for line in open(sys.argv[1]):
    f = line.split()
    d = dict(kv.split("=") for kv in f[:2] + f[3:])
    d["kind"] = f[2]
    rows.append(d)

def values(clip, repeat, kind, key="total", runs=lambda r: True):
    return [float(r[key]) for r in rows if r["clip"] == clip and r["repeat"] == repeat and r["kind"] == kind
            and runs(int(r["run"])) and float(r[key]) >= 0]

med = statistics.median
def spread(v, fmt="%.2f"):
    return (fmt + " [" + fmt + "-" + fmt + "]") % (med(v), min(v), max(v)) if v else "-"

repeats = sorted({r["repeat"] for r in rows})
print()
print("## First segment, first play and seek: the server against ffmpeg alone with the same arguments")
print()
print("Ratios are medians of the runs of one repeat, over the median of that repeat's yardsticks; the table")
print("gives the median of the %d repeats and [min-max] over them. Times in seconds, medians over all runs." % len(repeats))
print()
print("| clip | figure | ffmpeg alone | server | ratio, median [min-max] over repeats | goal |")
print("|---|---|---|---|---|---|")
closed, closed_first = [], []
for clip in ("360p", "1080p"):
    warm_r, cold_r, seek_r = [], [], []
    all_base, all_warm, all_cold, all_bseek, all_seek = [], [], [], [], []
    for rep in repeats:
        base = values(clip, rep, "base")
        warm = values(clip, rep, "first", runs=lambda r: r > 1)
        cold = values(clip, rep, "first", runs=lambda r: r == 1)
        bseek = values(clip, rep, "baseseek")
        seek = values(clip, rep, "seek")
        closed.extend(values(clip, rep, "first", "closed_to_last") + values(clip, rep, "seek", "closed_to_last"))
        closed_first.extend(values(clip, rep, "first", "closed_to_first") + values(clip, rep, "seek", "closed_to_first"))
        if base and warm: warm_r.append(med(warm) / med(base))
        if base and cold: cold_r.append(med(cold) / med(base))
        if bseek and seek: seek_r.append(med(seek) / med(bseek))
        all_base += base; all_warm += warm; all_cold += cold; all_bseek += bseek; all_seek += seek
    print("| %s | play to last byte of segment 1 | %.3f | %.3f | %s | at most 1.05 |" % (clip, med(all_base), med(all_warm), spread(warm_r)))
    print("| %s | the same, first play of the file (probe) | %.3f | %.3f | %s | at most 1.25 |" % (clip, med(all_base), med(all_cold), spread(cold_r)))
    print("| %s | seek 12 ahead to last byte of its segment | %.3f | %.3f | %s | at most 1.05 |" % (clip, med(all_bseek), med(all_seek), spread(seek_r)))
print()
for clip in ("360p", "1080p"):
    played = [values(clip, rep, "first", "play", runs=lambda r: r == 1) for rep in repeats]
    probes = [values(clip, rep, "probe") for rep in repeats]
    diffs = [(p[0] - q[0]) * 1000 for p, q in zip(played, probes) if p and q]
    if diffs:
        print("%s first play: the play request %.3f s, the probe alone (ffmpeg -i) %.3f s; request - probe, median %s ms"
              % (clip, med([p[0] for p in played if p]), med([q[0] for q in probes if q]), spread(diffs, "%.1f")))
print()
ms = [v * 1000 for v in closed]
q = statistics.quantiles(ms, n=4) if len(ms) > 1 else ms * 3
print("Segment closed by the segmenter to its last byte at the client: median %.1f ms, IQR %.1f-%.1f ms, "
      "[%.1f-%.1f] ms, n=%d (goal: median under 5 ms)" % (med(ms), q[0], q[2], min(ms), max(ms), len(ms)))
ms = [v * 1000 for v in closed_first]
if ms:
    q = statistics.quantiles(ms, n=4) if len(ms) > 1 else ms * 3
    print("The same to the first byte of the reply at the client: median %.1f ms, IQR %.1f-%.1f ms, [%.1f-%.1f] ms, n=%d"
          % (med(ms), q[0], q[2], min(ms), max(ms), len(ms)))
EOF2

# ---- 2. what the server costs, in four phases, by turns in each repeat
if [ "$PHASE_REPEATS" -gt 0 ]; then
  echo "phases: $PHASE_REPEATS repeats of about 90 s, server on $PIN, client on $CLIENT_PIN, load $(cut -d' ' -f1-3 /proc/loadavg)" >&2
  taskset -c "$CLIENT_PIN" "$BUILD/bin/stream_bench" phases "$SERVER_PORT" "$SESSION" Clips phases-360p.mp4 "$SERVER" \
    "$PHASE_REPEATS" | tee "$WORK/phases.txt" >&2
  python3 - "$WORK/phases.txt" "$(cut -d' ' -f1-3 /proc/loadavg)" <<'EOF3'
import statistics, sys
rows = [dict(kv.split("=") for kv in line.split()) for line in open(sys.argv[1])]
def spread(v, fmt):
    return (fmt + " [" + fmt + "-" + fmt + "]") % (statistics.median(v), min(v), max(v)) if v else "-"
print()
print("## What the server costs: CPU and wake-ups per second, median [min-max] over %d repeats" % len({r["repeat"] for r in rows}))
print()
print("Load average at the end: %s. CPU from /proc utime+stime; wake-ups are voluntary context switches" % sys.argv[2])
print("summed over the server's threads; ffmpeg and the segmenter are the run's own programs.")
print()
print("| phase | server CPU-s per s | wake-ups per s | server CPU / ffmpeg CPU | server CPU / Segmenter CPU | goal |")
print("|---|---|---|---|---|---|")
names = {"idle": "idle, no stream", "realtime": "a real-time player (one segment per 5 s, 30 s)",
         "held": "held: segment 1 taken, 3 ahead, nothing asked (10 s)", "fast": "360p fetched as fast as made (24 segments)"}
goals = {"idle": "-", "realtime": "CPU at most 0.03 of ffmpeg's", "held": "at most 20 wake-ups per s",
         "fast": "CPU at most the Segmenter's own"}
for phase in ("idle", "realtime", "held", "fast"):
    p = [r for r in rows if r["phase"] == phase]
    cpu = [float(r["server_cpu"]) for r in p]
    wakes = [float(r["wakeups"]) for r in p]
    to_ffmpeg = [float(r["server_cpu"]) / float(r["ffmpeg_cpu"]) for r in p if float(r["ffmpeg_cpu"]) > 0]
    to_seg = [float(r["server_cpu"]) / float(r["segmenter_cpu"]) for r in p if float(r["segmenter_cpu"]) > 0]
    seg = [float(r["segmenter_cpu"]) for r in p if float(r["segmenter_cpu"]) >= 0]
    ff = [float(r["ffmpeg_cpu"]) for r in p if float(r["ffmpeg_cpu"]) >= 0]
    extra = "" if phase == "idle" else " (ffmpeg %s, Segmenter %s CPU-s per s)" % (spread(ff, "%.3f"), spread(seg, "%.4f"))
    print("| %s | %s | %s | %s | %s | %s |" % (names[phase] + extra, spread(cpu, "%.4f"), spread(wakes, "%.0f"),
          spread(to_ffmpeg, "%.3f") if phase != "held" else "-", spread(to_seg, "%.2f") if phase == "fast" else "-", goals[phase]))
EOF3
fi

# ---- 3. direct play: many clients with byte ranges, the real server beside nginx, the same files
[ "$REPEATS" -gt 0 ] || exit 0
write_nginx_conf "$WORK/nginx" auto \
  "server { listen 127.0.0.1:$NGINX_PORT; location /video/direct/Films/ { alias $WORK/films/; } }"
nginx -c "$WORK/nginx/nginx.conf" -p "$WORK/nginx" &
NGINX=$!
PIDS+=($NGINX)
cat >"$WORK/direct.lua" <<EOF
-- A random 1 MiB-aligned range of 1 MiB of one of the films on every request, as a player that plays
-- the file directly asks for it.
local films = $FILMS
local blocks = $((FILM_SIZE / 1048576))
request = function()
  local from = math.random(0, blocks - 1) * 1048576
  local path = "/video/direct/Films/film-" .. math.random(1, films) .. ".mp4?SessionID=$SESSION"
  return wrk.format("GET", path, { ["Range"] = "bytes=" .. from .. "-" .. (from + 1048575) })
end
EOF
sleep 1

# The replies carry the right bytes: a few ranges from both servers against the file itself.
for port in "$SERVER_PORT" "$NGINX_PORT"; do
  for from in 0 12345678 $((FILM_SIZE - 1048576)); do
    curl -s -H "Range: bytes=$from-$((from + 1048575))" \
      "http://127.0.0.1:$port/video/direct/Films/film-2.mp4?SessionID=$SESSION" -o "$WORK/range.bin"
    cmp -s -i "$from:0" -n 1048576 "$WORK/films/film-2.mp4" "$WORK/range.bin" && [ "$(stat -c %s "$WORK/range.bin")" = 1048576 ] ||
      echo "(!) port $port: range $from is not the file's bytes"
  done
done

# MiB/s from wrk's "Transfer/sec"; requests; bytes per reply; errors.
summary() { awk '/Transfer\/sec/ { v=$2; u=substr(v, length(v)-1); n=substr(v, 1, length(v)-2);
    if (u=="GB") n*=1024; if (u=="KB") n/=1024; mib=n }
  / requests in / { req=$1; v=$5; u=substr(v, length(v)-1); n=substr(v, 1, length(v)-2);
    if (u=="GB") n*=1024; if (u=="KB") n/=1024; if (u=="MB") n*=1; read=n }
  /Non-2xx/ { bad=$NF } /Socket errors/ { err=$0; sub(/.*Socket errors: /, "", err) }
  END { printf "%.0f|%d|%.3f|%d|%s", mib, req, read / req, bad, (err == "" ? "none" : err) }'; }

echo
echo "## Direct play: $CLIENTS clients, 1 MiB random ranges of $FILMS files of $((FILM_SIZE / 1048576)) MiB, ${SECONDS_PER_RUN} s per run"
echo
# Processor time (user and system, in clock ticks) of a server: the process and its children (nginx's workers).
cpu_ticks() { local total=0 p
  for p in "$1" $(ps -o pid= --ppid "$1"); do
    total=$((total + $(sed 's/.*) //' "/proc/$p/stat" | awk '{ print $12 + $13 }')))
  done
  echo "$total"; }
echo "| run | server | MiB/s | replies | MiB per reply | non-2xx | socket errors | server CPU s per GiB |"
echo "|---|---|---|---|---|---|---|---|"
threads=$((CLIENTS < 4 ? CLIENTS : 4))
: >"$WORK/direct.txt"
for run in $(seq "$REPEATS"); do
  for server in calvoro nginx; do  # by turns, so a change in the machine's load touches both
    port=$([ "$server" = calvoro ] && echo "$SERVER_PORT" || echo "$NGINX_PORT")
    pid=$([ "$server" = calvoro ] && echo "$SERVER" || echo "$NGINX")
    before=$(cpu_ticks "$pid")
    wrk -t"$threads" -c"$CLIENTS" -d"${SECONDS_PER_RUN}s" -s "$WORK/direct.lua" "http://127.0.0.1:$port/" >"$WORK/wrk.txt"
    cpu=$(( $(cpu_ticks "$pid") - before ))
    IFS='|' read -r mib req per bad err <<<"$(summary <"$WORK/wrk.txt")"
    echo "| $run | $server | $mib | $req | $per | $bad | $err |" \
      "$(awk -v t="$cpu" -v hz="$(getconf CLK_TCK)" -v m="$mib" -v d="$SECONDS_PER_RUN" 'BEGIN { printf "%.3f", t / hz / (m * d / 1024) }') |"
    echo "$server $mib" >>"$WORK/direct.txt"
  done
done
echo
awk '{ v[$1] = v[$1] " " $2 } END {
  for (s in v) { n = split(v[s], a, " "); for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
    m[s] = a[int((n + 1) / 2)]; lo[s] = a[1]; hi[s] = a[n] }
  printf "Medians: Calvoro %d MiB/s [%d-%d], nginx %d MiB/s [%d-%d]; Calvoro / nginx %.2f\n",
    m["calvoro"], lo["calvoro"], hi["calvoro"], m["nginx"], lo["nginx"], hi["nginx"], m["calvoro"] / m["nginx"] }' "$WORK/direct.txt"
echo "Server after the run: $(awk '/Threads/ { print $2 }' "/proc/$SERVER/status") threads," \
  "resident memory peak $(( $(awk '/VmHWM/ { print $2 }' "/proc/$SERVER/status") / 1024 )) MiB"
