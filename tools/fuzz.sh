#!/usr/bin/env bash
# Mutation fuzzing of the readers that take input from servers and pages (XML and the root
# list's look-up, file table, small-files catalog, bzip2 stream, HTTP answers, the check of
# listed names, the command parser), under Wine, for
# a fixed number of inputs:
#   tools/fuzz.sh BUILD_TREE [COUNT] [SEED]      (make fuzz; FUZZ_COUNT / FUZZ_SEED)
# A crash or a failed run ends with a non-zero status; each reader's slowest input is printed.
set -eu -o pipefail
here=$(cd "$(dirname "$0")" && pwd)
BUILD=$(cd "${1:?usage: fuzz.sh BUILD_TREE [COUNT] [SEED]}" && pwd)
COUNT=${2:-20000}
SEED=${3:-1}
FUZZ=$BUILD/tests/common/net/fuzz_parsers.exe
RUN="$here/wine-run --build $BUILD"
[ -f "$FUZZ" ] || { echo "fuzz.sh: $FUZZ missing (build first)" >&2; exit 1; }
wine_ours=yes
ws_pid=$(cat "$BUILD/wine-state/wineserver.pid" 2>/dev/null || true)
[ -n "$ws_pid" ] && [ -d "/proc/$ws_pid" ] && wine_ours=
cleanup() { [ -n "$wine_ours" ] && $RUN stop >/dev/null 2>&1 || true; }
trap cleanup EXIT
$RUN start >/dev/null
# Each reader in its own process: a crash names the reader that crashed.
for parser in xml filetable catalog bzip2 http names command; do
  n=$COUNT
  case $parser in catalog) n=$((COUNT / 10));; bzip2) n=$((COUNT / 3));; http) n=$((COUNT / 20));; esac
  $RUN "$FUZZ" "$parser" "$n" "$SEED" | tr -d '\r' || { echo "fuzz: $parser failed (status $?)" >&2; exit 1; }
done
