#!/usr/bin/env bash
# The whole flow of a player's session under Wine: page and plug-in, sync program, download,
# verify, ping and the game as a dedicated server (see tools/demo.py).
#   tools/demo.sh BUILD_TREE
set -u
build=${1:?usage: tools/demo.sh BUILD_TREE}
tools=$(cd "$(dirname "$0")" && pwd)
# The run sees the tree's prefix through an overlay: make it once here, so that the flow does
# not start with Wine's first-run set-up.
if [ ! -f "$build/wineprefix/system.reg" ]; then
  echo "demo: preparing the Wine prefix of $build (once)"
  started=$("$tools/wine-run" --build "$build" start) && [ -n "$started" ] && "$tools/wine-run" --build "$build" stop
fi
exec python3 "$tools/demo.py" "$build"
