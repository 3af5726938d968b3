# Sourced by tools/bench.sh: the downloader on a distribution of about 3,000 files (most 1-64 KB,
# 50 of 4 MB, about 300 MB), published with tools/publish.py into the nginx root, fetched into
# empty folders with nine workers and with one, against aria2c -j9 of the same URLs; then a
# run with nothing to do; then the verification of the installed copy against sha256sum over
# the same files (one native process, warm cache); then the same files through their bundle,
# against the floor (bench_floor bundle: the same body received and decompressed by libbz2 on
# one thread, the least that one receiving thread can do) and against curl | bzip2 -d (two
# native processes, which overlap the network and the decompression). Last, the run with
# nothing to do again on 30,000 small files, so that its cost per file can be compared.
# Needs the nginx of bench.sh ($port) and the driver program.
DLDRIVER=$BUILD/tests/launch/ivlsync/dldriver.exe
if [ -f "$DLDRIVER" ] && [ -n "${nginx_pid:-}" ]; then
  echo "downloader: preparing 3,000 files ..." >&2
  python3 - "$TMP/dlsrc" <<'PY'
import os, random, sys
root = sys.argv[1]
rnd = random.Random(7)
words = [b"alpha", b"beta", b"gamma", b"delta", b"vertex", b"texture", b"shader", b"mesh"]
for i in range(3000):
    folder = os.path.join(root, "data%02d" % (i % 40), "sub%d" % (i % 7))
    os.makedirs(folder, exist_ok=True)
    if i % 60 == 1:
        size = 4 * 1048576
    else:
        size = rnd.randint(1024, 65536)
    if i % 3 == 0:   # a third compresses well: fetched as ".bz2"
        data = b" ".join(rnd.choice(words) for _ in range(size // 5))[:size]
    else:
        data = os.urandom(size)
    with open(os.path.join(folder, "file%04d.bin" % i), "wb") as f:
        f.write(data)
PY
  python3 - "$TMP/widesrc" <<'PY'
import os, random, sys
root = sys.argv[1]
rnd = random.Random(11)
for i in range(30000):
    folder = os.path.join(root, "wide%03d" % (i % 300))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "small%05d.bin" % i), "wb") as f:
        f.write(os.urandom(rnd.randint(64, 1024)))
PY
  python3 "$here/publish.py" --out "$TMP" --list Bench="$TMP/dlsrc" --bundle Bench --list Wide="$TMP/widesrc" \
    >"$TMP/dlpub.json"
  list=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["lists"]["Bench"]["uniquefile"])' "$TMP/dlpub.json")
  widelist=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["lists"]["Wide"]["uniquefile"])' "$TMP/dlpub.json")
  bundle=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["lists"]["Bench"]["bundle"])' "$TMP/dlpub.json")
  chmod -R a+rX "$TMP"
  total=$(du -sb "$TMP/dlsrc" | cut -f1)
  # dlrun TARGET [ARGS...]: one driver run of the list $runlist (default the 3,000 files); prints
  # its seconds, keeps its peak memory in $TMP/dlpeak
  dlrun() {
    local target=$1 out; shift
    out=$($RUN "$DLDRIVER" --target "$(winpath "$target")" --lists "${runlist:-$list}" --server "127.0.0.1:$port" "$@" | tr -d '\r')
    echo "$out" | grep -E '^(RESULT|SECONDS|PEAK_MEMORY|LOG Transfer bytes|LOG kb/s)' >&2
    echo "$out" | grep -q '^RESULT failed=0' || echo "downloader: run failed" >&2
    echo "$out" | sed -n 's/^PEAK_MEMORY \([0-9]*\)/\1/p' >"$TMP/dlpeak"
    echo "$out" | sed -n 's/^SECONDS \([0-9.]*\)/\1/p'
  }
  t9=$(dlrun "$TMP/dl9"); peak9=$(cat "$TMP/dlpeak")
  t1=$(dlrun "$TMP/dl1" --threads 1)
  python3 - "$TMP" "$list" "$port" >"$TMP/aria.txt" <<'PY'
import sys
tmp, name, port = sys.argv[1:]
with open(tmp + "/" + name, encoding="utf-8", newline="") as f:
    lines = [l for l in f.read().split("\r\n") if l]
base = ""
for line in lines:
    written = line[1:line.rindex('"')]
    text = line[line.rindex('"') + 2:].split(",")[0]
    pieces = written.split("/")
    up = 0
    while up < len(pieces) and pieces[up] == "..":
        up += 1
    keep = len(base.split("/")) - up - 1 if base else 0
    name = "/".join((base.split("/")[:keep] if keep > 0 else []) + pieces[up:])
    base = name
    print("http://127.0.0.1:%s/%s\n  out=%s" % (port, text, name))
PY
  ta=$(peer_time aria2c -q -j9 -x1 --file-allocation=none --auto-file-renaming=false --allow-overwrite=true \
       -d "$TMP/dlaria" -i "$TMP/aria.txt")
  t0=$(dlrun "$TMP/dl9"); peak0=$(cat "$TMP/dlpeak")
  # The files the installed table lists (what the verification reads), read once so both run warm.
  mapfile -t installed < <(tr -d '\r' <"$TMP/dl9/synccache/currentfiles.txt" | sed -n "s|^\"\(.*\)\",.*|$TMP/dl9/\1|p")
  cat "${installed[@]}" >/dev/null
  tv=$(dlrun "$TMP/dl9" --verify)
  ts=$(peer_time sha256sum "${installed[@]}")
  # The same files through their bundle, against curl piped into bzip2 -d (nothing written).
  tb=$(dlrun "$TMP/dlb" --bundle "$bundle" --bundle-only); peakb=$(cat "$TMP/dlpeak")
  fb=$(floor bundle 127.0.0.1 "$port" "$bundle.bz2")
  tc=$(peer_time bash -c "curl -s http://127.0.0.1:$port/$bundle.bz2 | bzip2 -d >/dev/null")
  # 30,000 files: installed once, then the run with nothing to do, twice (the faster counts).
  runlist=$widelist
  dlrun "$TMP/dlwide" >/dev/null
  w1=$(dlrun "$TMP/dlwide"); w2=$(dlrun "$TMP/dlwide"); peakw=$(cat "$TMP/dlpeak")
  runlist=
  wide=$(awk -v a="$w1" -v b="$w2" 'BEGIN { print (a < b ? a : b) }')
  mbytes=$((total / 1048576))
  report "downloader 3000 files $mbytes MB, 9 vs 1" "$t9" - "$t1" "1 worker"
  report "downloader 3000 files $mbytes MB, 9 vs aria2c" "$t9" - "$ta" "aria2c -j9"
  report "bundle $(($(stat -c %s "$TMP/$bundle.bz2") / 1048576)) MB bz2, $mbytes MB (target 1.1)" "$tb" "$fb" "$tc" "curl|bzip2"
  report "verify ${#installed[@]} files $mbytes MB (target 1.5)" "$tv" - "$ts" sha256sum
  report "no-change run, 3,000 files (< 1 s)" "$t0" - - -
  report "no-change run, 30,000 files" "$wide" - - -
  awk -v a="$t9" -v b="$t1" -v z="$t0" -v w="$wide" -v p="$peak9" -v q="$peak0" -v r="$peakb" -v s="$peakw" 'BEGIN {
    printf "downloader: 9 workers %.2fx faster than 1 (target 5x); no-change run %.3f s (target < 1 s)\n", b / a, z
    printf "downloader: no-change run per file %.1f us (3,000), %.1f us (30,000); fixed part %.3f s, %.1f us a file\n",
           z / 3000 * 1e6, w / 30000 * 1e6, z - (w - z) / 27000 * 3000, (w - z) / 27000 * 1e6
    printf "downloader: peak private memory %.1f MB (full run), %.1f MB (no-change run), %.1f MB (bundle), %.1f MB (no-change, 30,000)\n",
           p / 1048576, q / 1048576, r / 1048576, s / 1048576 }'
  rm -rf "$TMP/dlsrc" "$TMP/widesrc" "$TMP/dl9" "$TMP/dl1" "$TMP/dlaria" "$TMP/dlb" "$TMP/dlwide"
fi
