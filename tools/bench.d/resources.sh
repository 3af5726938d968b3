# Sourced by tools/bench.sh: 1,000,000 resource names interned and looked up in the resource
# index allocator and in the resource strings, against std::unordered_map<std::string, int>
# doing the same in the same program (times measured inside it).
RESOURCES=$BUILD/tests/player/resource/bench_resources.exe
if [ -f "$RESOURCES" ]; then
  out=$($RUN "$RESOURCES" | tr -d '\r'); echo "$out" >&2
  field() { echo "$out" | sed -n "s/^name=$1 .*$2=\([0-9.]*\).*/\1/p"; }
  for what in allocator strings; do
    report "$what: intern 1,000,000 names" "$(field $what insert)" - "$(field ${what}_unordered_map insert)" unordered_map
    report "$what: look up 1,000,000 names" "$(field $what lookup)" - "$(field ${what}_unordered_map lookup)" unordered_map
    awk -v a="$(field $what lookups_per_second)" -v b="$(field ${what}_unordered_map lookups_per_second)" \
      'BEGIN { printf "  %.0f lookups/s, unordered_map %.0f lookups/s\n", a, b }'
  done
else
  echo "resources: $RESOURCES missing, skipped"
fi
