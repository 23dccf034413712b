#!/usr/bin/env bash
# Folder list benchmark, run by hand: selection, collapse, expand and Quit in the real window with one
# shared folder of 2,000 videos expanded (2,001 rows) against one of 3 (4 rows), on a private Xvfb.
# Runs alternate between the two sizes, REPEATS times each (default 3), the program pinned to one
# processor and the X server to another; each step is timed from the click until its pixels show
# (bench/ui_bench.cpp). Prints every figure, then the median and the spread per size and step.
#   bench/ui_bench.sh [BUILD_DIR]     (default: build)
# Environment: REPEATS (3), BIG (2000), SMALL (3), PIN_BENCH (2), PIN_X (3).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$ROOT/build}"
REPEATS="${REPEATS:-3}"
BIG="${BIG:-2000}"
SMALL="${SMALL:-3}"
PIN_BENCH="${PIN_BENCH:-2}"
PIN_X="${PIN_X:-3}"

if [ -z "${CALVORO_BENCH_INSIDE:-}" ]; then
  [ -f "$BUILD/CMakeCache.txt" ] || cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
  nice cmake --build "$BUILD" -j3 --target calvoro_ui calvoro_images >/dev/null
  # shellcheck disable=SC2046
  g++ -std=c++17 -O2 -I"$ROOT" $(wx-config --cxxflags core,base) "$ROOT/bench/ui_bench.cpp" -o "$BUILD/bin/ui_bench" \
    "$BUILD/libcalvoro_ui.a" "$BUILD/libcalvoro_network.a" "$BUILD/libcalvoro_core.a" "$BUILD/libcalvoro_platform.a" \
    "$BUILD/libcalvoro_kivlib.a" -lboost_regex -lpugixml -lcrypto -lnatpmp $(pkg-config --libs avahi-compat-libdns_sd) \
    $(wx-config --libs core,base) -lX11 /usr/lib/x86_64-linux-gnu/libXtst.so.6 -lpthread
  # Nothing here touches the network; it runs where the other benchmarks do all the same.
  exec unshare -rn env CALVORO_BENCH_INSIDE=1 bash -c 'ip link set lo up && exec "$0" "$@"' "$0" "$BUILD"
fi

# ---- inside the namespace
WORK="$(mktemp -d /tmp/calvoro-ui-bench-XXXXXX)"
XPID=""
trap '[ -n "$XPID" ] && kill "$XPID" 2>/dev/null; wait 2>/dev/null; rm -rf "$WORK"' EXIT
exec 9>"$WORK/display"
taskset -c "$PIN_X" Xvfb -displayfd 9 -noreset -screen 0 1280x800x24 -nolisten tcp 2>/dev/null &
XPID=$!
for _ in $(seq 100); do [ -s "$WORK/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -1 "$WORK/display")"
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); bench on cpu $PIN_BENCH, X on cpu $PIN_X"

for repeat in $(seq "$REPEATS"); do
  for files in "$BIG" "$SMALL"; do
    taskset -c "$PIN_BENCH" "$BUILD/bin/ui_bench" "$BUILD/bin" "$files" | while read -r step ms; do
      echo "$((files + 1)) $step $ms" | tee -a "$WORK/figures"
    done
  done
done

echo "rows step: median (min-max) ms over $REPEATS runs (select: three clicks a run)"
sort -k1,1n -k2,2 -k3,3n "$WORK/figures" | awk '
  function flush() { if (n) printf "%5s %-8s %8.1f (%.1f-%.1f)\n", key1, key2, (n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2), v[1], v[n] }
  { if ($1 != key1 || $2 != key2) { flush(); n = 0; key1 = $1; key2 = $2 } v[++n] = $3 }
  END { flush() }'
