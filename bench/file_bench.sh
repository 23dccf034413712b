#!/usr/bin/env bash
# File sending and listing benchmark, run by hand: the real server (calvoro -s, seeded state.xml) beside
# nginx and dd on the same cores, by turns. Everything runs inside a private network namespace that has
# only loopback.
#   bench/file_bench.sh [BUILD_DIR] [OTHER_BIN_DIR]
# BUILD_DIR (default build/bench, configured in Release when new) is brought up to date. OTHER_BIN_DIR,
# when given, is the bin folder of another build (an earlier commit), run by turns with this one, so a
# change is measured in one run ("before").
# Environment: REPEATS (default 3), PIN (cores of the servers and nginx, default 4-5), CLIENT_PIN
# (curl, wrk and dd, default 6-7), WHOLE_RUNS (whole-file fetches per server per repeat, default 7),
# RANGE_ROUNDS (wrk runs per server, client count and repeat, default 4), RANGE_SECONDS (per wrk run,
# default 2), LISTING_FILES (default 100000).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$ROOT/build/bench}"
OTHER="${2:-}"
REPEATS="${REPEATS:-3}"
PIN="${PIN:-4-5}"
CLIENT_PIN="${CLIENT_PIN:-6-7}"
WHOLE_RUNS="${WHOLE_RUNS:-7}"
RANGE_SECONDS="${RANGE_SECONDS:-2}"
RANGE_ROUNDS="${RANGE_ROUNDS:-4}"
LISTING_FILES="${LISTING_FILES:-100000}"

source "$ROOT/bench/bench_common.sh"

if [ -z "${CALVORO_BENCH_INSIDE:-}" ]; then
  # Outside the namespace: what needs the package registry or a compiler.
  bench_prepare "$ROOT" "$BUILD"
  [ -z "$OTHER" ] || [ -x "$OTHER/calvoro" ] || { echo "no calvoro in $OTHER" >&2; exit 1; }
  exec unshare -rn env CALVORO_BENCH_INSIDE=1 bash -c 'ip link set lo up && exec "$0" "$@"' "$0" "$BUILD" "$OTHER"
fi

# ---- inside the namespace
bench_scratch calvoro-file-bench

NGINX_PORT=18784
FILE_SIZE=$((1024 * 1024 * 1024))
SERVERS=(calvoro)
declare -A BIN PORT SESSION
BIN[calvoro]="$BUILD/bin"
PORT[calvoro]=18785
if [ -n "$OTHER" ]; then
  SERVERS+=(before)
  BIN[before]="$OTHER"
  PORT[before]=18786
fi

echo "# Calvoro file benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, servers on cores $PIN," \
  "clients on $CLIENT_PIN, $REPEATS repeats, load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"

# Starts calvoro from bin folder $2 with data home $3, sharing folder $4 as "$5", on port $1; prints its pid.
start_server() {
  local port=$1 bin=$2 home=$3 folder=$4 alias=$5
  mkdir -p "$home/Calvoro"
  cat >"$home/Calvoro/state.xml" <<EOF
<?xml version="1.0"?>
<CalvoroState><VideoFolders><Folder><Path>$folder</Path><Alias>$alias</Alias></Folder></VideoFolders>
<Authorized><UniqueID>bench-device</UniqueID></Authorized><FinishedConv/>
<HttpPort>$port</HttpPort><UpnpEnabled>0</UpnpEnabled></CalvoroState>
EOF
  (cd "$bin" && XDG_DATA_HOME="$home" exec taskset -c "$PIN" ./calvoro -s >"$home/server.out" 2>&1) &
  local pid=$!
  for _ in $(seq 100); do curl -s -o /dev/null -I "http://127.0.0.1:$port/" && break; sleep 0.1; done
  echo "$pid"
}
stop_server() {
  kill "$1" 2>/dev/null || true
  for _ in $(seq 200); do [ -d "/proc/$1" ] || return 0; sleep 0.05; done
}
announce() {
  curl -s --data '<D><Announce><Name>bench</Name><UniqueID>bench-device</UniqueID></Announce></D>' \
    "http://127.0.0.1:$1/video/announce/" | sed -n 's:.*<SessionID>\(.*\)</SessionID>.*:\1:p'
}
# "median [min-max]" of the numbers on standard input.
spread() { sort -g | awk '{ v[NR] = $1 } END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2;
  printf "%.2f [%.2f-%.2f]", m, v[1], v[NR] }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { printf "%.4f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# ---- the file, the servers and nginx
mkdir -p "$WORK/films"
head -c "$FILE_SIZE" /dev/urandom >"$WORK/films/film.mp4"
cat "$WORK/films/film.mp4" >/dev/null  # every reader takes it from the page cache
for s in "${SERVERS[@]}"; do
  PIDS+=("$(start_server "${PORT[$s]}" "${BIN[$s]}" "$WORK/home-$s" "$WORK/films" Films)")
  SESSION[$s]=$(announce "${PORT[$s]}")
done
write_nginx_conf "$WORK/nginx" "$(taskset -c "$PIN" nproc)" \
  "server { listen 127.0.0.1:$NGINX_PORT; location /video/direct/Films/ { alias $WORK/films/; } }"
taskset -c "$PIN" nginx -c "$WORK/nginx/nginx.conf" -p "$WORK/nginx" &
PIDS+=($!)
sleep 1
# The same target for every server: nginx ignores the query.
url() { echo "http://127.0.0.1:${PORT[$1]:-$NGINX_PORT}/video/direct/Films/film.mp4?SessionID=${SESSION[$1]:-0}"; }
for s in "${SERVERS[@]}" nginx; do
  from=$((RANDOM * 1048576 % FILE_SIZE))
  curl -s -r "$from-$((from + 1048575))" "$(url "$s")" -o "$WORK/range.bin"
  cmp -s -i "$from:0" -n 1048576 "$WORK/films/film.mp4" "$WORK/range.bin" && [ "$(stat -c %s "$WORK/range.bin")" = 1048576 ] ||
    { echo "(!) $s sent other bytes for the range $from" >&2; exit 1; }
done

# ---- 1. one client reading the whole file: curl to /dev/null; dd reading the file alone
now() { date +%s.%N; }
: >"$WORK/whole.txt"
for repeat in $(seq "$REPEATS"); do
  for round in $(seq "$WHOLE_RUNS"); do
    readers=("${SERVERS[@]}" nginx dd)
    shift_by=$(((repeat * WHOLE_RUNS + round) % ${#readers[@]}))  # each reader goes first in turn
    readers=("${readers[@]:shift_by}" "${readers[@]:0:shift_by}")
    for s in "${readers[@]}"; do
      if [ "$s" = dd ]; then
        t0=$(now)
        taskset -c "$CLIENT_PIN" dd if="$WORK/films/film.mp4" of=/dev/null bs=1M status=none
        t=$(echo "$(now) - $t0" | bc)
      else
        out=$(taskset -c "$CLIENT_PIN" curl -s -o /dev/null -w '%{http_code} %{size_download} %{time_total}' "$(url "$s")")
        set -- $out
        [ "$1" = 200 ] && [ "$2" = "$FILE_SIZE" ] || { echo "(!) $s: status $1, $2 bytes" >&2; exit 1; }
        t=$3
      fi
      echo "$repeat $s $t $round" >>"$WORK/whole.txt"
    done
  done
done
echo
echo "## One client reading the whole 1 GiB file (curl to /dev/null), $WHOLE_RUNS fetches per server per repeat"
echo
echo "Time of one fetch, median of all; ratios: each fetch over the yardstick's fetch of the same round (the"
echo "readers take turns in a round, each going first in turn), the median of a repeat's rounds; median [min-max]"
echo "of the repeats."
echo
echo "| reader | s | / nginx | / dd |"
echo "|---|---|---|---|"
# Median [min-max] over the repeats of each repeat's median ratio of reader $1 to reader $2 per round.
round_ratios() {
  for r in $(seq "$REPEATS"); do
    awk -v a="$1" -v b="$2" -v r="$r" '$1 == r && $2 == a { x[$4] = $3 } $1 == r && $2 == b { y[$4] = $3 }
      END { for (k in x) print x[k] / y[k] }' "$WORK/whole.txt" | median
    echo
  done | spread
}
for s in "${SERVERS[@]}" nginx dd; do
  t=$(awk -v s="$s" '$2 == s { print $3 }' "$WORK/whole.txt" | median)
  echo "| $s | $t | $(round_ratios "$s" nginx) | $(round_ratios "$s" dd) |"
done

# ---- 2. random 1 MiB ranges at 1, 16 and 64 clients
cat >"$WORK/ranges.lua" <<EOF
-- A random 1 MiB-aligned range of 1 MiB on every request; the target comes from the command line.
local blocks = $((FILE_SIZE / 1048576))
local target
init = function(args) target = args[1] end
request = function()
  local from = math.random(0, blocks - 1) * 1048576
  return wrk.format("GET", target, { ["Range"] = "bytes=" .. from .. "-" .. (from + 1048575) })
end
EOF
: >"$WORK/ranges.txt"
for repeat in $(seq "$REPEATS"); do
  for clients in 1 16 64; do
    threads=$((clients < 4 ? clients : 4))
    for round in $(seq "$RANGE_ROUNDS"); do
      readers=("${SERVERS[@]}" nginx)
      shift_by=$(((repeat * RANGE_ROUNDS + round) % ${#readers[@]}))  # each server goes first in turn
      readers=("${readers[@]:shift_by}" "${readers[@]:0:shift_by}")
      for s in "${readers[@]}"; do
        target="/video/direct/Films/film.mp4?SessionID=${SESSION[$s]:-0}"
        taskset -c "$CLIENT_PIN" wrk -t"$threads" -c"$clients" -d"${RANGE_SECONDS}s" -s "$WORK/ranges.lua" \
          "http://127.0.0.1:${PORT[$s]:-$NGINX_PORT}" -- "$target" >"$WORK/wrk.txt"
        if grep -q -e "Non-2xx" -e "Socket errors" "$WORK/wrk.txt"; then echo "(!) $s, $clients clients: $(grep -e Non-2xx -e 'Socket errors' "$WORK/wrk.txt")" >&2; fi
        echo "$repeat $clients $s $(wrk_mib_per_s <"$WORK/wrk.txt") $round" >>"$WORK/ranges.txt"
      done
    done
  done
done
echo
echo "## Random 1 MiB ranges of the file, $RANGE_ROUNDS rounds of ${RANGE_SECONDS} s wrk runs per repeat"
echo
echo "MiB/s, median of all runs; ratio: each run's MiB/s over nginx's in the same round, the median of a"
echo "repeat's rounds; median [min-max] of the repeats. A run keeps its connections on the cores the kernel"
echo "first gave their threads, so one run alone can land well or badly: hence the rounds."
echo
header="| clients | nginx MiB/s"
for s in "${SERVERS[@]}"; do header="$header | $s MiB/s | $s / nginx"; done
echo "$header |"
echo "|---|---$(for _ in "${SERVERS[@]}"; do printf '|---|---'; done)|"
for clients in 1 16 64; do
  row="| $clients | $(awk -v c="$clients" '$2 == c && $3 == "nginx" { print $4 }' "$WORK/ranges.txt" | median | cut -d. -f1)"
  for s in "${SERVERS[@]}"; do
    mib=$(awk -v c="$clients" -v s="$s" '$2 == c && $3 == s { print $4 }' "$WORK/ranges.txt" | median | cut -d. -f1)
    ratio=$(for r in $(seq "$REPEATS"); do
      awk -v c="$clients" -v s="$s" -v r="$r" '$1 == r && $2 == c && $3 == s { a[$5] = $4 }
        $1 == r && $2 == c && $3 == "nginx" { b[$5] = $4 } END { for (k in a) print a[k] / b[k] }' "$WORK/ranges.txt" | median
      echo
    done | spread)
    row="$row | $mib | $ratio"
  done
  echo "$row |"
done

# ---- 3. the listing of a folder of LISTING_FILES videos, from a fresh server each time
for pid in "${PIDS[@]}"; do stop_server "$pid"; done
wait 2>/dev/null || true
PIDS=()
rm -f "$WORK/films/film.mp4"
mkdir -p "$WORK/big"
python3 - "$WORK/big" "$LISTING_FILES" <<'EOF'
import os, sys
for i in range(int(sys.argv[2])):
    open(os.path.join(sys.argv[1], "clip%06d.mp4" % i), "w").close()
EOF
kb() { awk -v k="$2" '$1 == k ":" { print $2 }' "/proc/$1/status"; }
: >"$WORK/listing.txt"
for repeat in $(seq "$REPEATS"); do
  for s in "${SERVERS[@]}"; do
    rm -rf "$WORK/list-$s"
    pid=$(start_server "${PORT[$s]}" "${BIN[$s]}" "$WORK/list-$s" "$WORK/big" Big)
    PIDS=("$pid")
    session=$(announce "${PORT[$s]}")
    sleep 0.5
    echo 5 >"/proc/$pid/clear_refs"  # the peak starts again from what is resident now
    idle=$(kb "$pid" VmRSS)
    out=$(taskset -c "$CLIENT_PIN" curl -s -o "$WORK/reply-$s.xml" -w '%{http_code} %{size_download} %{time_total}' \
      "http://127.0.0.1:${PORT[$s]}/video/files/Big/?SessionID=$session")
    peak=$(kb "$pid" VmHWM)
    set -- $out
    [ "$1" = 200 ] || { echo "(!) $s: listing status $1" >&2; exit 1; }
    echo "$repeat $s $idle $peak $2 $3" >>"$WORK/listing.txt"
    stop_server "$pid"
    PIDS=()
  done
  if [ -n "$OTHER" ] && ! cmp -s "$WORK/reply-calvoro.xml" "$WORK/reply-before.xml"; then
    echo "(!) the two builds' listings differ" >&2
  fi
done
echo
echo "## Listing of a folder of $LISTING_FILES videos (GET /video/files/Big/), a fresh server per request"
echo
echo "Peak resident memory above the idle server (VmHWM after the request, reset before it, minus VmRSS"
echo "before it) over the reply's size; time of the request per file. Median [min-max] of the repeats."
echo
echo "| server | idle MiB | reply MB | peak above idle MiB | peak above idle / reply | us per file |"
echo "|---|---|---|---|---|---|"
for s in "${SERVERS[@]}"; do
  awk -v s="$s" -v n="$LISTING_FILES" '$2 == s { print $3 / 1024, $5 / 1e6, ($4 - $3) / 1024, ($4 - $3) * 1024 / $5, $6 * 1e6 / n }' \
    "$WORK/listing.txt" >"$WORK/listing-$s.txt"
  row="| $s"
  for column in 1 2 3 4 5; do row="$row | $(awk -v c="$column" '{ print $c }' "$WORK/listing-$s.txt" | spread)"; done
  echo "$row |"
done
echo
echo "Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
