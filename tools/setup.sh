#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, and fetches the third-party
# sources. Does nothing (and says nothing) when everything is already there.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
export DEBIAN_FRONTEND=noninteractive

SUDO=
[ "$(id -u)" = 0 ] || SUDO=sudo

# Wine loads its X11 libraries at run time (they are only libwine's Recommends): without them its
# X11 driver runs without XInput2, XRender, RandR or Xcursor. Named for both sides.
x11libs=(libxi6 libxcursor1 libxrandr2 libxinerama1 libxcomposite1 libxfixes3 libxrender1 libxxf86vm1)
pkgs=(wine wine32:i386 wine64 xvfb xauth g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools cmake ninja-build dpkg-dev
      googletest nginx python3 curl bzip2 file x11-apps imagemagick aria2 libwine-dev gcc make patch libz-mingw-w64-dev clang-format
      "${x11libs[@]/%/:amd64}" "${x11libs[@]/%/:i386}")

missing=()
for p in "${pkgs[@]}"; do
  st=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$st" = "install ok installed" ] || missing+=("$p")
done

updated=0
apt_update() { [ $updated = 1 ] || { $SUDO apt-get update -qq; updated=1; }; }
install() { # packages...
  echo "setup: installing $*"
  apt_update
  $SUDO apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

if [ ${#missing[@]} -gt 0 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  install "${missing[@]}"
fi
# Whatever else of Wine's run-time libraries the 64-bit side has, the 32-bit side gets by name.
mapfile -t missing < <("$top/tools/check-wine32" --missing)
[ ${#missing[@]} -eq 0 ] || install "${missing[@]}"

# bzip2 sources (Debian's source package) for a static library built with our toolchain.
tp="$top/third_party"
deb_src() {
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
}
if [ ! -f "$tp/bzip2/bzlib.h" ]; then
  deb_src
  mkdir -p "$tp" && rm -rf "$tp/bzip2.tmp" && mkdir "$tp/bzip2.tmp"
  (cd "$tp/bzip2.tmp" && apt-get source -qq bzip2 >/dev/null 2>&1)
  src=$(find "$tp/bzip2.tmp" -maxdepth 2 -name bzlib.h -printf '%h\n' | head -n 1)
  [ -n "$src" ] || { echo "setup: bzip2 source not found" >&2; exit 1; }
  rm -rf "$tp/bzip2" && mv "$src" "$tp/bzip2" && rm -rf "$tp/bzip2.tmp"
fi

# CPython 3.11 for the launcher, cross-built for both trees; silent when already built.
for arch in i686 x86_64; do
  [ -f "$tp/python311/src/.ivl-patched" ] || deb_src
  "$top/tools/build-python.sh" "$arch"
done
