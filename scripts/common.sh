# Shared by scripts/run and scripts/test: Debian packages, the build, the private network namespace.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="$(nproc 2>/dev/null || echo 4)"
# The DNS-SD compatibility library otherwise prints a notice in every test program that calls it (the
# server sets this for itself).
export AVAHI_COMPAT_NOWARN=1

# What the build, the server and the tests need, as Debian package names.
PACKAGES=(
  cmake g++ make pkg-config
  libwxgtk3.2-dev libboost-dev libboost-regex-dev libpugixml-dev libssl-dev
  libminiupnpc-dev libavahi-compat-libdnssd-dev
  libnatpmp-dev miniupnpd miniupnpd-nftables nftables
  libgtest-dev libgmock-dev googletest
  ffmpeg iproute2 util-linux socat xvfb xauth xdotool imagemagick
  desktop-file-utils icewm libxml2-utils x11-utils
)

as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

install_packages() {
  local missing=()
  for p in "${PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    as_root apt-get update -q
    # miniupnpd is the router of the port-mapping tests, which start it themselves inside their own
    # network namespaces: its package must neither start nor enable the daemon on this machine.
    echo "miniupnpd miniupnpd/start_daemon boolean false" | as_root debconf-set-selections
    local policy=/usr/sbin/policy-rc.d made_policy=""
    if [ ! -e "$policy" ]; then
      printf '#!/bin/sh\nexit 101\n' | as_root tee "$policy" >/dev/null && as_root chmod 755 "$policy" && made_policy=1
    fi
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
    if [ -n "$made_policy" ]; then as_root rm -f "$policy"; fi
  fi
}

# configure DIR TYPE [extra cmake arguments]
configure() {
  local dir="$1" type="$2"; shift 2
  cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE="$type" "$@" >/dev/null
}

# build DIR TYPE [extra cmake arguments]: every target, test programs included
build() {
  configure "$@"
  cmake --build "$1" -j "$JOBS"
}

# A private network namespace for the command that follows (as a user, in a user namespace of its own).
if [ "$(id -u)" = 0 ]; then UNSHARE_NET=(unshare --net --); else UNSHARE_NET=(unshare --map-root-user --net --); fi

# Runs a command inside a private network namespace that has only loopback, so nothing the server
# sends (broadcasts, multicast, router discovery, master-server contacts) leaves this machine.
isolated() {
  "${UNSHARE_NET[@]}" sh -c 'ip link set lo up && exec "$@"' isolated "$@"
}

# The server's data folder, found as the server finds it.
data_folder() {
  local base="${XDG_DATA_HOME:-}"
  case "$base" in /*) ;; *) base="$HOME/.local/share" ;; esac
  printf '%s/Calvoro\n' "$base"
}

# The port the server listens on: HttpPort in its state.xml when that is a port number, else 8683.
http_port() {
  local file port=""
  file="$(data_folder)/state.xml"
  if [ -r "$file" ]; then
    port="$(sed -n 's:.*<HttpPort>[[:space:]]*\([0-9]\{1,5\}\)[[:space:]]*</HttpPort>.*:\1:p' "$file" | head -n 1)"
  fi
  if [ -n "$port" ] && [ "$((10#$port))" -ge 1 ] && [ "$((10#$port))" -le 65535 ]; then
    echo "$((10#$port))"
  else
    echo 8683
  fi
}

# relayed PORT COMMAND...: runs COMMAND as isolated does, and makes the namespace's TCP port PORT
# reachable from this machine: a relay listens on this machine's 127.0.0.1:PORT and hands each
# connection through a Unix socket (a file, which no network namespace confines) to a second relay
# inside the namespace, which connects to 127.0.0.1:PORT there. Connections to that one port come in;
# the namespace still has only loopback, so nothing sent inside leaves the machine. Both relays end
# with COMMAND, whose exit status relayed returns.
relayed() {
  local port="$1"; shift
  local dir status=0 outer inner server
  dir="$(mktemp -d "${TMPDIR:-/tmp}/calvoro-relay.XXXXXX")"
  socat -d -d -lf "$dir/outer.log" TCP-LISTEN:"$port",bind=127.0.0.1,reuseaddr,fork UNIX-CONNECT:"$dir/http.sock" &
  outer=$!
  if ! relay_listening "$outer" "$dir/outer.log"; then
    echo "No relay listens on 127.0.0.1:$port, so the server cannot be reached from this machine:" \
      "$(grep -m1 ' E ' "$dir/outer.log" 2>/dev/null | sed 's/.* E //')" >&2
  fi
  # The relay inside starts before COMMAND (and is no child of it), which then takes the shell's place,
  # so the process waited for below is COMMAND itself. Run in the background, it gets back the SIGINT a shell would ignore
  # there, so Ctrl-C still reaches it.
  (
    trap - INT QUIT
    exec "${UNSHARE_NET[@]}" sh -c 'ip link set lo up || exit
      (socat -lf "$1/inner.log" UNIX-LISTEN:"$1/http.sock",fork TCP:127.0.0.1:"$2" & echo $! >"$1/inner.pid")
      shift 2
      exec "$@"' relayed "$dir" "$port" "$@"
  ) <&0 &
  server=$!
  # Ctrl-C reaches the server in the same process group; an end signal sent to this script alone is
  # passed on. Either way the server's own shutdown runs before the relays go.
  trap 'kill -TERM "$server" 2>/dev/null || true' TERM HUP
  trap ':' INT
  wait "$server" || status=$?
  while kill -0 "$server" 2>/dev/null; do
    status=0
    wait "$server" || status=$?
  done
  trap - TERM HUP INT
  inner="$(cat "$dir/inner.pid" 2>/dev/null || true)"
  kill "$outer" ${inner:+"$inner"} 2>/dev/null || true
  wait "$outer" 2>/dev/null || true
  rm -rf "$dir"
  return "$status"
}

# True once the relay socat (pid) writes to its log that it listens; false when it ended first.
relay_listening() {
  local pid="$1" log="$2" tries=0
  while [ "$tries" -lt 200 ]; do
    if grep -q 'listening on' "$log" 2>/dev/null; then return 0; fi
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.05
    tries=$((tries + 1))
  done
  return 1
}
