# Shared by scripts/run and scripts/test: Debian packages, the build, the private network namespace.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="$(nproc 2>/dev/null || echo 4)"
# The DNS-SD compatibility library otherwise prints a notice on every start.
export AVAHI_COMPAT_NOWARN=1

# What the build, the server and the tests need, as Debian package names.
PACKAGES=(
  cmake g++ make pkg-config
  libwxgtk3.2-dev libboost-dev libboost-regex-dev libpugixml-dev libssl-dev
  libminiupnpc-dev libavahi-compat-libdnssd-dev
  libnatpmp-dev miniupnpd miniupnpd-nftables nftables
  libgtest-dev libgmock-dev googletest
  ffmpeg iproute2 util-linux xvfb xauth xdotool imagemagick
  desktop-file-utils icewm libxml2-utils
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

# Runs a command inside a private network namespace that has only loopback, so nothing the server
# sends (broadcasts, multicast, router discovery, master-server contacts) leaves this machine.
isolated() {
  local inner='ip link set lo up && exec "$@"'
  if [ "$(id -u)" = 0 ]; then
    unshare --net -- sh -c "$inner" isolated "$@"
  else
    unshare --map-root-user --net -- sh -c "$inner" isolated "$@"
  fi
}
