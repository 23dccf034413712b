# Sourced by the benchmarks: their set-up outside and inside the network namespace, nginx
# as the yardstick, configured as it serves files at its fastest (sendfile, TCP_CORK while sending,
# TCP_NODELAY), and wrk's throughput read back.

# Outside the namespace: wrk, nginx and curl when missing (the package registry), and calvoro in
# build folder $2 of sources $1 brought up to date (configured in Release when new).
bench_prepare() {
  local root=$1 build=$2
  for tool in wrk nginx curl python3; do
    command -v "$tool" >/dev/null || {
      apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends wrk nginx-light curl
      break
    }
  done
  [ -f "$build/CMakeCache.txt" ] || cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  grep -q '^CMAKE_BUILD_TYPE:STRING=Release$' "$build/CMakeCache.txt" || echo "warning: $build is not a Release build" >&2
  cmake --build "$build" -j "$(nproc)" --target calvoro >/dev/null
}

# Inside: a scratch folder in WORK (named after $1) and the programs started in PIDS, both ended at exit.
bench_scratch() {
  ulimit -n 8192
  WORK="$(mktemp -d "/tmp/$1-XXXXXX")"
  PIDS=()
  trap bench_cleanup EXIT
}
bench_cleanup() {
  for pid in "${PIDS[@]:-}"; do [ -n "$pid" ] && kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}

# Writes DIR/nginx.conf: WORKERS processes ("auto" for one per core), one server block.
write_nginx_conf() {
  local dir=$1 workers=$2 server=$3
  mkdir -p "$dir"
  cat >"$dir/nginx.conf" <<CONF
user root;
worker_processes $workers;
daemon off;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  tcp_nodelay on;
  keepalive_requests 10000000;
  client_body_temp_path $dir/body;
  proxy_temp_path $dir/proxy;
  fastcgi_temp_path $dir/fastcgi;
  uwsgi_temp_path $dir/uwsgi;
  scgi_temp_path $dir/scgi;
  $server
}
CONF
}

# MiB per second from wrk's report on standard input ("Transfer/sec" in KB, MB or GB).
wrk_mib_per_s() {
  awk '/Transfer\/sec/ { v=$2; u=substr(v, length(v)-1); n=substr(v, 1, length(v)-2);
    if (u=="GB") n*=1024; if (u=="KB") n/=1024; printf "%.0f", n }'
}
