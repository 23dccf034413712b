#!/usr/bin/env bash
# HTTP benchmark, run by hand: byte ranges side by side with nginx, a listing of 10,000 videos, and
# 1,000 idle keep-alive connections. Everything runs inside a private network namespace that has
# only loopback.
#   bench/http_bench.sh [BUILD_DIR]     (default: build/bench; configured in Release when new)
# Environment: BENCH_SECONDS (per wrk run, default 10).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$ROOT/build/bench}"
SECONDS_PER_RUN="${BENCH_SECONDS:-10}"

source "$ROOT/bench/bench_common.sh"

if [ -z "${CALVORO_BENCH_INSIDE:-}" ]; then
  # Outside the namespace: what needs the package registry or a compiler.
  bench_prepare "$ROOT" "$BUILD"
  # The range harness: the file routes' own code (ParseRange, HttpListener::SendFileRange) on the
  # library's listener, linked from the libraries of that build, the top of the stack first.
  g++ -std=c++17 -O2 -I"$ROOT" "$ROOT/bench/range_server.cpp" -o "$BUILD/bin/range_server" \
    "$BUILD/libcalvoro_api.a" "$BUILD/libcalvoro_media.a" "$BUILD/libcalvoro_core.a" \
    "$BUILD/libcalvoro_platform.a" "$BUILD/libcalvoro_kivlib.a" \
    -lboost_regex -lpugixml -lcrypto $(pkg-config --libs avahi-compat-libdns_sd) $(wx-config --libs core,base) -lpthread
  exec unshare -rn env CALVORO_BENCH_INSIDE=1 bash -c 'ip link set lo up && exec "$0" "$@"' "$0" "$BUILD"
fi

# ---- inside the namespace
bench_scratch calvoro-bench

OURS_PORT=18683
NGINX_PORT=18684
SERVER_PORT=18685
FILE_SIZE=$((1024 * 1024 * 1024))

echo "# Calvoro HTTP benchmark, $(date -u +%Y-%m-%d), $(nproc) cores, wrk $(wrk -v 2>&1 | head -n 1 | awk '{print $2}')"

# ---- 1. byte ranges: our range harness and nginx, the same file, the same client settings
mkdir -p "$WORK/www"
head -c "$FILE_SIZE" /dev/urandom >"$WORK/www/film.bin"
cat "$WORK/www/film.bin" >/dev/null  # both servers read from the page cache
write_nginx_conf "$WORK/nginx" auto "server { listen 127.0.0.1:$NGINX_PORT; root $WORK/www; }"
nginx -c "$WORK/nginx/nginx.conf" -p "$WORK/nginx" &
PIDS+=($!)
"$BUILD/bin/range_server" "$OURS_PORT" "$WORK/www/film.bin" &
PIDS+=($!)
cat >"$WORK/ranges.lua" <<EOF
-- A random 1 MiB-aligned range of 1 MiB on every request.
local blocks = $((FILE_SIZE / 1048576))
request = function()
  local from = math.random(0, blocks - 1) * 1048576
  return wrk.format("GET", "/film.bin", { ["Range"] = "bytes=" .. from .. "-" .. (from + 1048575) })
end
EOF
sleep 1

check() { if grep -q "Non-2xx" "$1"; then echo "  (!) $(grep Non-2xx "$1")"; fi; }

echo
echo "## Byte ranges: 1 MiB random ranges of a 1 GiB file, ${SECONDS_PER_RUN} s per run"
echo
echo "| clients | Calvoro MiB/s | nginx MiB/s | ratio |"
echo "|---|---|---|---|"
for clients in 1 16 64; do
  threads=$((clients < 4 ? clients : 4))
  wrk -t"$threads" -c"$clients" -d"${SECONDS_PER_RUN}s" -s "$WORK/ranges.lua" "http://127.0.0.1:$OURS_PORT/" >"$WORK/ours-$clients.txt"
  wrk -t"$threads" -c"$clients" -d"${SECONDS_PER_RUN}s" -s "$WORK/ranges.lua" "http://127.0.0.1:$NGINX_PORT/" >"$WORK/nginx-$clients.txt"
  ours=$(wrk_mib_per_s <"$WORK/ours-$clients.txt")
  theirs=$(wrk_mib_per_s <"$WORK/nginx-$clients.txt")
  echo "| $clients | $ours | $theirs | $(awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "%.2f", a / b }') |"
  check "$WORK/ours-$clients.txt"
  check "$WORK/nginx-$clients.txt"
done
kill "${PIDS[@]}" 2>/dev/null || true
wait 2>/dev/null || true
PIDS=()
rm -f "$WORK/www/film.bin"

# ---- 2 and 3: the real server, calvoro -s, with a seeded state.xml
mkdir -p "$WORK/home/Calvoro" "$WORK/big"
python3 - "$WORK/big" <<'EOF'
import os, sys
for i in range(10000):
    open(os.path.join(sys.argv[1], "clip%05d.mp4" % i), "w").close()
EOF
cat >"$WORK/home/Calvoro/state.xml" <<EOF
<?xml version="1.0"?>
<CalvoroState><VideoFolders><Folder><Path>$WORK/big</Path><Alias>Big</Alias></Folder></VideoFolders>
<Authorized><UniqueID>bench-device</UniqueID></Authorized><FinishedConv/>
<HttpPort>$SERVER_PORT</HttpPort><UpnpEnabled>0</UpnpEnabled></CalvoroState>
EOF
(cd "$BUILD/bin" && XDG_DATA_HOME="$WORK/home" exec ./calvoro -s >"$WORK/server.out" 2>&1) &
SERVER=$!
PIDS+=($SERVER)
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$SERVER_PORT/" -I && break; sleep 0.1; done
SESSION=$(curl -s --data '<D><Announce><Name>bench</Name><UniqueID>bench-device</UniqueID></Announce></D>' \
  "http://127.0.0.1:$SERVER_PORT/video/announce/" | sed -n 's:.*<SessionID>\(.*\)</SessionID>.*:\1:p')
LISTING="http://127.0.0.1:$SERVER_PORT/video/files/Big/?SessionID=$SESSION"
videos=$(curl -s "$LISTING" | grep -c "<video>" || true)

echo
echo "## Listing of a folder of 10,000 videos (GET /video/files/Big/, $videos videos in the reply)"
echo
wrk -t1 -c1 -d"${SECONDS_PER_RUN}s" --latency "$LISTING" >"$WORK/listing.txt"
awk '/Latency/ && !done { print "- latency per request: average " $2 ", max " $4; done=1 }
     /50%/ { print "- median " $2 } /99%/ { print "- 99th percentile " $2 }
     /Requests\/sec/ { print "- " $2 " requests/s, one client" }' "$WORK/listing.txt"
check "$WORK/listing.txt"

echo
echo "## 1,000 idle keep-alive connections"
echo
rss_kb() { awk '/VmRSS/ { print $2 }' "/proc/$SERVER/status"; }
echo "- server resident memory before: $(( $(rss_kb) / 1024 )) MiB"
python3 "$ROOT/bench/idle_clients.py" "$SERVER_PORT" 1000 20 >"$WORK/idle.txt" &
IDLE=$!
PIDS+=($IDLE)
for _ in $(seq 300); do grep -q ready "$WORK/idle.txt" 2>/dev/null && break; sleep 0.1; done
sleep 2
echo "- with 1,000 idle connections: resident memory $(( $(rss_kb) / 1024 )) MiB, $(awk '/Threads/ { print $2 }' "/proc/$SERVER/status") threads"
echo "- meanwhile a new client: HEAD in $(curl -s -o /dev/null -w '%{time_total}' -I "http://127.0.0.1:$SERVER_PORT/") s," \
  "listing of 10,000 in $(curl -s -o /dev/null -w '%{time_total}' "$LISTING") s"
wait "$IDLE" || true
echo "- $(grep still "$WORK/idle.txt")"
echo "- server resident memory peak: $(( $(awk '/VmHWM/ { print $2 }' "/proc/$SERVER/status") / 1024 )) MiB"
