#!/usr/bin/env bash
# Streaming end to end, run by hand: the real server (calvoro -s, seeded state.xml) timed from a play
# request to the last byte of segment 1 and from a seek to its segment, beside the media benchmark's
# pipeline-only figures in the same run; then 64 clients playing files directly with byte ranges, beside
# nginx serving the same files. Everything runs inside a private network namespace that has only loopback.
#   bench/stream_bench.sh [BUILD_DIR]     (default: build/bench, built in Release when missing)
# Environment: ROUNDS (default 4; each round runs the media benchmark's 5 runs, then 5 end-to-end runs),
# BENCH_SECONDS (per wrk run, default 10), CLIENTS (default 64), REPEATS (wrk runs per server, by turns,
# default 3; 0 leaves the direct play out).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$ROOT/build/bench}"
ROUNDS="${ROUNDS:-4}"
SECONDS_PER_RUN="${BENCH_SECONDS:-10}"
CLIENTS="${CLIENTS:-64}"
REPEATS="${REPEATS:-3}"

if [ -z "${CALVORO_BENCH_INSIDE:-}" ]; then
  # Outside the namespace: what needs the package registry or a compiler.
  for tool in wrk nginx curl python3 ffmpeg; do
    command -v "$tool" >/dev/null || {
      apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends wrk nginx-light curl ffmpeg
      break
    }
  done
  if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  cmake --build "$BUILD" -j "$(nproc)" --target calvoro Segmenter
  # The media benchmark's own program, built as bench/media_bench.sh builds it, beside Segmenter.
  g++ -std=c++17 -O2 -I"$ROOT" "$ROOT/bench/media_bench.cpp" -o "$BUILD/bin/media_bench" \
    "$BUILD/libcalvoro_media.a" "$BUILD/libcalvoro_core.a" "$BUILD/libcalvoro_platform.a" "$BUILD/libcalvoro_kivlib.a" \
    -lboost_regex -lpugixml -lcrypto $(pkg-config --libs avahi-compat-libdns_sd) $(wx-config --libs core,base) -lpthread
  g++ -std=c++17 -O2 -Wall -Wextra "$ROOT/bench/stream_bench.cpp" -o "$BUILD/bin/stream_bench" -lpthread
  exec unshare -rn env CALVORO_BENCH_INSIDE=1 bash -c 'ip link set lo up && exec "$0" "$@"' "$0" "$BUILD"
fi

# ---- inside the namespace
ulimit -n 8192
WORK="$(mktemp -d /tmp/calvoro-stream-bench-XXXXXX)"
PIDS=()
cleanup() {
  for pid in "${PIDS[@]:-}"; do [ -n "$pid" ] && kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

SERVER_PORT=18686
NGINX_PORT=18687
FILM_SIZE=$((256 * 1024 * 1024))
FILMS=4
CORES=$(nproc)

echo "# Calvoro streaming end to end, $(date -u +%Y-%m-%d), $CORES cores, load $(cut -d' ' -f1-3 /proc/loadavg)," \
  "$(ffmpeg -version | head -1 | cut -d' ' -f1-3), wrk $(wrk -v 2>&1 | head -n 1 | awk '{print $2}'), $(nginx -v 2>&1 | cut -d' ' -f3)"

# ---- the clips, the films and the server
mkdir -p "$WORK/home/Calvoro" "$WORK/clips" "$WORK/films" "$WORK/mb"
# The media benchmark's clip: one minute of 640x360 H.264 with AAC sound.
ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=size=640x360:rate=29.97:duration=60 \
  -f lavfi -i sine=frequency=440:duration=60 -c:v libx264 -preset medium -pix_fmt yuv420p -c:a aac -b:a 128k \
  "$WORK/clip.mp4"
for i in $(seq "$ROUNDS"); do cp "$WORK/clip.mp4" "$WORK/clips/round-$i.mp4"; done  # a new path is a cold probe
for i in $(seq "$FILMS"); do head -c "$FILM_SIZE" /dev/urandom >"$WORK/films/film-$i.mp4"; done
cat "$WORK"/films/* >/dev/null  # both servers read from the page cache
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
(cd "$BUILD/bin" && XDG_DATA_HOME="$WORK/home" exec ./calvoro -s >"$WORK/server.out" 2>&1) &
SERVER=$!
PIDS+=($SERVER)
for _ in $(seq 100); do curl -s -o /dev/null -I "http://127.0.0.1:$SERVER_PORT/" && break; sleep 0.1; done
SESSION=$(curl -s --data '<Device><Announce><Name>bench</Name><UniqueID>bench-device</UniqueID></Announce></Device>' \
  "http://127.0.0.1:$SERVER_PORT/video/announce/" | sed -n 's:.*<SessionID>\(.*\)</SessionID>.*:\1:p')
[ -n "$SESSION" ] || { echo "no session id from the server"; cat "$WORK/server.out"; exit 1; }

# ---- 1. first segment and seek: pipeline only (the media benchmark's program) and end to end, by turns
for i in $(seq "$ROUNDS"); do
  echo "round $i of $ROUNDS: pipeline only, then end to end" >&2
  "$BUILD/bin/media_bench" "$WORK/clip.mp4" "$WORK/mb" 0 | tee -a "$WORK/pipeline.txt" | grep -E "^(time to first|seek)" >&2
  "$BUILD/bin/stream_bench" "$SERVER_PORT" "$SESSION" "$WORK/clips" Clips "round-$i.mp4" "$WORK/home/Calvoro/cache" 5 \
    "$SERVER" | tee -a "$WORK/e2e.txt" >&2
done
if ps -o comm= --ppid "$SERVER" | grep -qE "ffmpeg|Segmenter"; then echo "(!) a transcoder or segmenter is left running"; fi

python3 - "$WORK/pipeline.txt" "$WORK/e2e.txt" <<'EOF'
import re, statistics, sys
pipe = open(sys.argv[1]).read()
e2e = [l.split() for l in open(sys.argv[2])]

def nums(pattern):
    out = []
    for m in re.finditer(pattern, pipe):
        out += [float(v) for v in m.group(1).split()]
    return out
base = nums(r"all runs: baseline ([0-9. ]+);")
warm = nums(r"; ours ([0-9. ]+);")
seek = nums(r"; seek ([0-9. ]+)\n")
cold = nums(r"first run with the probe ([0-9.]+) s")

def rows(kind, runs=None):
    out = []
    for f in e2e:
        if f[0] != kind: continue
        d = dict(kv.split("=") for kv in f[1:])
        if runs is None or runs(int(d["run"])): out.append({k: float(v) for k, v in d.items()})
    return out
first_cold = rows("first", lambda r: r == 1)
first_warm = rows("first", lambda r: r > 1)
seeks = rows("seek")
spawn = [r["open"] for r in rows("spawn")]

def med(v): return statistics.median(v) if v else float("nan")
def spread(v):
    if not v: return "-"
    q = statistics.quantiles(v, n=4) if len(v) > 1 else [v[0]] * 3
    return "%.3f s [%.3f-%.3f, IQR %.3f-%.3f, n=%d]" % (med(v), min(v), max(v), q[0], q[2], len(v))
def ratio(a, b): return "%.2f" % (med(a) / med(b))

e_warm = [r["total"] for r in first_warm]
e_cold = [r["total"] for r in first_cold]
e_seek = [r["total"] for r in seeks]
print()
print("## First segment and seek: end to end over HTTP against the pipeline alone")
print()
def over(e, p): return "%d of %d" % (sum(1 for v in e if v > 1.3 * med(p)), len(e))
print("| figure | ffmpeg alone | pipeline only | end to end | end to end / pipeline (medians) | end-to-end runs over 1.3 x the pipeline median | goal |")
print("|---|---|---|---|---|---|---|")
print("| play to last byte of segment 1 | %s | %s | %s | %s | %s | at most 1.3 |" % (spread(base), spread(warm), spread(e_warm), ratio(e_warm, warm), over(e_warm, warm)))
print("| the same, first play of the file (probe included) | | %s | %s | %s | %s | at most 1.3 |" % (spread(cold), spread(e_cold), ratio(e_cold, cold), over(e_cold, cold)))
print("| seek 8 ahead to last byte of its segment | | %s | %s | %s | %s | at most 1.3 |" % (spread(seek), spread(e_seek), ratio(e_seek, seek), over(e_seek, seek)))
print()
print("Where the end-to-end time goes (medians, seconds; from the request that starts each step):")
print()
def step(rs, a, b):
    v = [r[b] - (r[a] if a else 0) for r in rs if r.get(b, -1) >= 0 and (not a or r.get(a, -1) >= 0)]
    return "%.3f [%.3f-%.3f]" % (med(v), min(v), max(v)) if v else "-"
print("| step | first segment, warm | first segment, cold | seek |")
print("|---|---|---|---|")
print("| POST /video/play/ answered | %s | %s | |" % (step(first_warm, None, "play"), step(first_cold, None, "play")))
print("| index.m3u8 answered | %s | %s | |" % (step(first_warm, None, "playlist"), step(first_cold, None, "playlist")))
print("| segment request to the worker starting ffmpeg (10 ms resolution) | %s | %s | %s |" % (step(first_warm, None, "spawned"), step(first_cold, None, "spawned"), step(seeks, None, "spawned")))
print("| ffmpeg started to its opening the clip | %s | %s | %s |" % (step(first_warm, "spawned", "open"), step(first_cold, "spawned", "open"), step(seeks, "spawned", "open")))
print("| clip opened to first output in the segmenter | %s | %s | %s |" % (step(first_warm, "open", "output"), step(first_cold, "open", "output"), step(seeks, "open", "output")))
print("| first output to the segment complete on disk | %s | %s | %s |" % (step(first_warm, "output", "done"), step(first_cold, "output", "done"), step(seeks, "output", "done")))
print("| complete on disk to the reply head at the client | %s | %s | %s |" % (step(first_warm, "done", "head"), step(first_cold, "done", "head"), step(seeks, "done", "head")))
print("| reply head to last byte | %s | %s | %s |" % (step(first_warm, "head", "last"), step(first_cold, "head", "last"), "-"))
print()
print("ffmpeg alone, from its start to its opening of the clip: %s" % spread(spawn))
def on_poll(rs):
    return sum(1 for r in rs if (r["head"] + 0.003) % 0.125 < 0.006)
allfirst = first_warm + first_cold
print("reply heads within 3 ms of a multiple of 125 ms after their request: %d of %d first segments, %d of %d seeks"
      % (on_poll(allfirst), len(allfirst), on_poll(seeks), len(seeks)))
print("segment bytes: first %d, seek %d (medians)" % (med([r["bytes"] for r in first_warm]), med([r["bytes"] for r in seeks])))
EOF

# ---- 2. direct play: many clients with byte ranges, the real server beside nginx, the same files
[ "$REPEATS" -gt 0 ] || exit 0
mkdir -p "$WORK/nginx"
cat >"$WORK/nginx/nginx.conf" <<EOF
user root;
worker_processes auto;
daemon off;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  tcp_nodelay on;
  keepalive_requests 10000000;
  client_body_temp_path $WORK/nginx/body;
  proxy_temp_path $WORK/nginx/proxy;
  fastcgi_temp_path $WORK/nginx/fastcgi;
  uwsgi_temp_path $WORK/nginx/uwsgi;
  scgi_temp_path $WORK/nginx/scgi;
  server { listen 127.0.0.1:$NGINX_PORT; location /video/direct/Films/ { alias $WORK/films/; } }
}
EOF
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
