# Sourced by tools/bench.sh: XML parse of a large generated list and loading a 100,000-line
# file table. XML: floor pugixml (Debian's source, fetched here into the ignored third_party/
# and built with our toolchain, under Wine), peer xmllint (or Python's ElementTree). File
# table: floor a std::map loader under Wine (bench_floor), peer a Python dictionary load. Ours
# and the floors are the fastest of three runs each.
TABLES=$BUILD/tests/common/containers/bench_tables.exe
PUGI=$BUILD/tests/common/containers/bench_pugixml.exe
top=$(cd "$here/.." && pwd)
if [ ! -f "$top/third_party/pugixml/src/pugixml.cpp" ]; then
  rm -rf "$top/third_party/pugixml.tmp" && mkdir -p "$top/third_party/pugixml.tmp"
  (cd "$top/third_party/pugixml.tmp" && apt-get source -qq pugixml >/dev/null 2>&1) || true
  src=$(find "$top/third_party/pugixml.tmp" -maxdepth 2 -name src -type d -printf '%h\n' | head -n 1)
  [ -n "$src" ] && rm -rf "$top/third_party/pugixml" && mv "$src" "$top/third_party/pugixml"
  rm -rf "$top/third_party/pugixml.tmp"
fi
if [ -f "$top/third_party/pugixml/src/pugixml.cpp" ] && [ ! -f "$PUGI" ]; then
  cmake "$BUILD" >/dev/null && cmake --build "$BUILD" --target bench_pugixml >/dev/null || true
fi
if [ -f "$TABLES" ]; then
  python3 - "$TMP" <<'PY'
import hashlib, sys
tmp = sys.argv[1]
with open(tmp + "/list.xml", "w") as f:
    f.write('<?xml version="1.0"?>\n<uniquelist version="3">\n')
    for i in range(400000):
        f.write('\t<list id="list%06d" name="data/folder%03d/file%06d.dat" servers="a,b">'
                'text &amp; more &#65;</list>\n' % (i, i % 997, i))
    f.write('</uniquelist>\n')
with open(tmp + "/files.txt", "w", newline="") as f:
    for i in range(100000):
        h = hashlib.sha256(str(i).encode()).hexdigest()
        f.write('"data/folder%03d/file%06d.dat",%s-%d,%d,1,0\r\n' % (i % 997, i, h, i * 7, i * 7))
PY
  mb() { awk -v b="$(stat -c %s "$1")" -v s="$2" 'BEGIN { if (s > 0) printf "%.1f MB/s", b / 1048576 / s; else print "-" }'; }
  o=$(fastest 3 seconds "$TABLES" xml "$(winpath "$TMP/list.xml")")
  f=-
  [ -f "$PUGI" ] && f=$(fastest 3 seconds "$PUGI" "$(winpath "$TMP/list.xml")")
  if command -v xmllint >/dev/null 2>&1; then
    peer=xmllint; p=$(peer_time xmllint --noout --huge "$TMP/list.xml")
  else
    peer=ElementTree; p=$(peer_time python3 -c 'import sys, xml.etree.ElementTree as E; E.parse(sys.argv[1])' "$TMP/list.xml")
  fi
  report "XML parse $(($(stat -c %s "$TMP/list.xml") / 1048576)) MB ($(mb "$TMP/list.xml" "$o"))" "$o" "$f" "$p" "$peer"
  o=$(fastest 3 seconds "$TABLES" filetable "$(winpath "$TMP/files.txt")")
  f=$(fastest 3 floor filetable "$(winpath "$TMP/files.txt")")
  p=$(peer_time python3 -c 'import sys
d = {}
for l in open(sys.argv[1], newline=""):
    q = l.rfind("\"")
    f = l[q + 2:].rstrip("\r\n").split(",")
    d[l[1:q]] = (f[0], int(f[1]), int(f[2]), int(f[3]))' "$TMP/files.txt")
  report "file table 100,000 lines" "$o" "$f" "$p" python3
else
  echo "tables: $TABLES missing, skipped"
fi
