#!/usr/bin/env bash
# Demo of the sync program under Wine: starts ivlsync.exe with "/l en" in a work folder of its
# own (as the browser plug-in does), shows that it runs (window, log, listening ports), and
# closes it again.
#   tools/demo.sh BUILD_TREE
set -u
build=${1:?usage: tools/demo.sh BUILD_TREE}
build=$(cd "$build" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
run="$top/tools/wine-run"
exe="$build/engine/launch/ivlsync/ivlsync.exe"
[ -f "$exe" ] || { echo "demo: $exe is missing (build first)" >&2; exit 1; }

work=$(mktemp -d /tmp/ivlsync-demo.XXXXXX)
pid=
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    "$run" --build "$build" taskkill /im ivlsync.exe >/dev/null 2>&1
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill "$pid" 2>/dev/null
  fi
  "$run" --build "$build" stop
  rm -rf "$work"
}
trap cleanup EXIT

cp "$exe" "$work/"
cp -r "$(dirname "$exe")/locale" "$work/"
"$run" --build "$build" start

echo "== starting ivlsync.exe /l en in $work"
(cd "$work" && exec "$run" --build "$build" "$work/ivlsync.exe" /l en >"$work/wine.out" 2>&1) &
pid=$!

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
for _ in $(seq 600); do
  port_open 50010 && port_open 50009 && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if ! kill -0 "$pid" 2>/dev/null; then
  echo "demo: ivlsync ended early" >&2; cat "$work/wine.out" >&2; exit 1
fi

echo "== ivlsync.log"
cat "$work/ivlsync.log" 2>/dev/null | tr -d '\r'
echo "== listening"
for port in 50009 50010; do
  if port_open $port; then echo "127.0.0.1:$port open"; else echo "127.0.0.1:$port closed"; fi
done
echo "== a second copy ends at once with exit code 1"
"$run" --build "$build" "$work/ivlsync.exe" /m /l en
echo "exit code $?"

client="python3 $top/tools/flashclient.py"
echo "== policy request on the policy port 50009"
$client --port 50009 policy
echo "== policy request on the command port 50010 (the connection stays open for commands)"
$client policy
echo "== CMD_PING 127.0.0.1 (session 1)"
$client ping 127.0.0.1 --session 1
echo "== a malformed text and an unknown command"
$client send 0 7
$client send 999 3
echo "== ivlsync.log now"
tr -d '\r' <"$work/ivlsync.log"
echo "== closing with CMD_CLOSE (session 5)"
$client close --session 5
wait "$pid"
rc=$?
pid=
echo "ivlsync ended with exit code $rc"
[ "$rc" = 0 ]
