#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, and fetches the third-party
# sources. Does nothing (and says nothing) when everything is already there.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
export DEBIAN_FRONTEND=noninteractive

SUDO=
[ "$(id -u)" = 0 ] || SUDO=sudo

pkgs=(wine wine32:i386 wine64 xvfb xauth g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools libwine-dev cmake ninja-build
      dpkg-dev googletest nginx python3 curl bzip2 file x11-apps imagemagick aria2)

missing=()
for p in "${pkgs[@]}"; do
  st=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$st" = "install ok installed" ] || missing+=("$p")
done

updated=0
apt_update() { [ $updated = 1 ] || { $SUDO apt-get update -qq; updated=1; }; }

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  apt_update
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  # wine's recommends carry the 32-bit loader pieces it needs
  $SUDO apt-get install -y -qq wine wine32:i386 >/dev/null
fi

# bzip2 sources (Debian's source package) for a static library built with our toolchain.
tp="$top/third_party"
if [ ! -f "$tp/bzip2/bzlib.h" ]; then
  if ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    echo "setup: adding a deb-src entry for bookworm"
    $SUDO tee /etc/apt/sources.list.d/ivl-deb-src.sources >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    updated=0
  fi
  apt_update
  mkdir -p "$tp" && rm -rf "$tp/bzip2.tmp" && mkdir "$tp/bzip2.tmp"
  (cd "$tp/bzip2.tmp" && apt-get source -qq bzip2 >/dev/null 2>&1)
  src=$(find "$tp/bzip2.tmp" -maxdepth 2 -name bzlib.h -printf '%h\n' | head -n 1)
  [ -n "$src" ] || { echo "setup: bzip2 source not found" >&2; exit 1; }
  rm -rf "$tp/bzip2" && mv "$src" "$tp/bzip2" && rm -rf "$tp/bzip2.tmp"
fi
