# Sourced by the benchmarks: nginx as the yardstick, configured as it serves files at its fastest
# (sendfile, TCP_CORK while sending, TCP_NODELAY), and wrk's throughput read back.

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
