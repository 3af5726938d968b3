#!/usr/bin/env bash
# Benchmarks of the data-handling code on the same data in the same run, each against
#   the floor: a minimal Windows program under Wine doing the work the code must do
#              (bench_floor: one read of the whole file plus the digest; libbz2 alone; raw
#              Winsock with the header a byte at a time and the body in 10,000-byte pieces)
#   the peer:  a native tool
#   SHA-256 of a 256 MB file           GetFileSha256       floor read + hash   peer sha256sum
#   bzip2 decompression (64 MB)        ZBzipInputStream    floor libbz2        peer bzip2 -d
#   256 MB download over loopback      HttpDownload        floor raw Winsock   peer curl (one nginx)
# Each line gives the three times and the ratios ours/floor and ours/peer (below 1: ours is
# faster). Our and the floor's times are measured inside the programs (Wine start-up
# excluded); the peers' as wall time.
#
#   tools/bench.sh BUILD_TREE         (make bench passes the tree it built)
#
# More benchmarks: every tools/bench.d/*.sh is sourced after these, with the helpers below
# (ours, floor, fastest, peer_time, report, winpath) and $TMP, $BUILD, $RUN available.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
BUILD=$(cd "${1:?usage: bench.sh BUILD_TREE}" && pwd)
BENCH=$BUILD/tests/common/net/bench_data.exe
FLOOR=$BUILD/tests/common/net/bench_floor.exe
RUN="$here/wine-run --build $BUILD"
[ -x "$BENCH" ] || [ -f "$BENCH" ] || { echo "bench.sh: $BENCH missing (build first)" >&2; exit 1; }

TMP=$(mktemp -d /tmp/ivl_bench.XXXXXX)
chmod 755 "$TMP"
nginx_pid=
# Wine services that already ran (a test run on the same tree) are left running.
wine_ours=yes
ws_pid=$(cat "$BUILD/wine-state/wineserver.pid" 2>/dev/null || true)
[ -n "$ws_pid" ] && [ -d "/proc/$ws_pid" ] && wine_ours=
cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null || true
  [ -n "$wine_ours" ] && $RUN stop >/dev/null 2>&1 || true
  rm -rf "$TMP"
}
trap cleanup EXIT
$RUN start >/dev/null

winpath() { echo "Z:${1//\//\\}"; }
now() { date +%s.%N; }
# seconds PROGRAM ARGS...: runs a bench program under Wine, prints its seconds
seconds() {
  local out
  out=$($RUN "$@" | tr -d '\r')
  echo "$out" >&2
  echo "$out" | sed -n 's/.*seconds=\([0-9.]*\).*/\1/p'
}
# ours ARGS...: our bench program; floor ARGS...: the minimal program ("-" when it is missing)
ours() { seconds "$BENCH" "$@"; }
floor() { if [ -f "$FLOOR" ]; then seconds "$FLOOR" "$@"; else echo -; fi; }
# fastest N CMD...: the least of N runs of a command that prints seconds (on a busy machine the
# fastest run is the one least disturbed by others)
fastest() {
  local n=$1 best=- t; shift
  for _ in $(seq "$n"); do
    t=$("$@")
    best=$(awk -v a="$best" -v b="$t" 'BEGIN { print (a == "-" || (b != "" && b + 0 < a + 0)) ? b : a }')
  done
  echo "$best"
}
# peer_time CMD...: wall seconds of a command (its output discarded)
peer_time() {
  local t0 t1
  t0=$(now); "$@" >/dev/null; t1=$(now)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }'
}
report() { # name ours floor peer peername (floor or peer "-" or 0: none for this line)
  awk -v n="$1" -v o="$2" -v f="$3" -v p="$4" -v pn="$5" '
    function t(v) { return v + 0 > 0 ? sprintf("%7.3f s", v) : sprintf("%9s", "-") }
    function r(a, b) { return a + 0 > 0 && b + 0 > 0 ? sprintf("%5.2f", a / b) : sprintf("%5s", "-") }
    BEGIN { printf "%-34s ours %s   floor %s   %-11s %s   ours/floor %s   ours/peer %s\n",
            n, t(o), t(f), pn, t(p), r(o, f), r(o, p) }'
}

echo "preparing data in $TMP ..." >&2
head -c 268435456 /dev/urandom >"$TMP/big.bin"
head -c 50331648 /dev/urandom | base64 -w 76 >"$TMP/text.txt"
bzip2 -9 -k "$TMP/text.txt"
chmod 644 "$TMP"/*
sync

# SHA-256 (warm cache for both)
cat "$TMP/big.bin" >/dev/null
o=$(ours sha256 "$(winpath "$TMP/big.bin")")
f=$(floor sha256 "$(winpath "$TMP/big.bin")")
p=$(peer_time sha256sum "$TMP/big.bin")
report "SHA-256 256 MB" "$o" "$f" "$p" sha256sum

# bzip2 decompression
o=$(ours bunzip "$(winpath "$TMP/text.txt.bz2")")
f=$(floor bunzip "$(winpath "$TMP/text.txt.bz2")")
p=$(peer_time bzip2 -d -c "$TMP/text.txt.bz2")
report "bzip2 -d $(($(stat -c %s "$TMP/text.txt") / 1048576)) MB" "$o" "$f" "$p" "bzip2 -d"

# Download over loopback from one nginx
if command -v nginx >/dev/null 2>&1 || [ -x /usr/sbin/nginx ]; then
  nginx=$(command -v nginx || echo /usr/sbin/nginx)
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  mkdir -p "$TMP/nginx"
  cat >"$TMP/nginx/nginx.conf" <<EOF
worker_processes 1;
master_process off;
daemon off;
error_log $TMP/nginx/error.log;
pid $TMP/nginx/nginx.pid;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $TMP/nginx/body; proxy_temp_path $TMP/nginx/proxy;
  fastcgi_temp_path $TMP/nginx/fastcgi; uwsgi_temp_path $TMP/nginx/uwsgi; scgi_temp_path $TMP/nginx/scgi;
  default_type application/octet-stream;
  sendfile on;
  server { listen 127.0.0.1:$port; root $TMP; }
}
EOF
  "$nginx" -e "$TMP/nginx/error.log" -p "$TMP/nginx" -c "$TMP/nginx/nginx.conf" >/dev/null 2>&1 &
  nginx_pid=$!
  for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$port/" && break; sleep 0.05; done
  o=$(ours download "127.0.0.1:$port" big.bin)
  f=$(floor download 127.0.0.1 "$port" big.bin)
  p=$(curl -s -o /dev/null -w '%{time_total}' "http://127.0.0.1:$port/big.bin")
  report "download 256 MB (nginx)" "$o" "$f" "$p" curl
else
  echo "download: nginx missing, skipped"
fi

for hook in "$here"/bench.d/*.sh; do
  [ -f "$hook" ] && . "$hook"
done
exit 0
