#!/usr/bin/env bash
# Cross-builds the embedded interpreter (CPython 3.11 from Debian's python3.11 source package)
# for one architecture: python311.dll, its import library, headers and the standard library
# as python311.zip, in third_party/python311/ARCH/out. A finished build whose recipe has not
# changed is left alone, silently.
#   tools/build-python.sh i686|x86_64
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
here=$top/tools/python
arch=${1:?usage: build-python.sh i686|x86_64}
case $arch in i686|x86_64) ;; *) echo "build-python: unknown architecture $arch" >&2; exit 2 ;; esac
jobs=${JOBS:-4}
w=$top/third_party/python311
s=$w/src
n=$w/native
a=$w/$arch
cc=$arch-w64-mingw32-gcc-posix

recipe=$(cat "$0" "$here"/* | sha256sum | cut -c1-16)
[ "$(cat "$a/out/recipe" 2>/dev/null)" = "$recipe" ] && exit 0
echo "setup: building the Python interpreter for $arch"
start=$SECONDS
mkdir -p "$w"

# 1. Sources, with Debian's patches and our mingw ones. A recipe change starts from clean sources.
if [ ! -f "$s/.ivl-patched" ] || [ "$(cat "$s/.ivl-patched")" != "$(cat "$here"/*.patch | sha256sum)" ]; then
  rm -rf "$w/fetch" "$s" "$n" && mkdir "$w/fetch"
  (cd "$w/fetch" && apt-get source -qq python3.11 >/dev/null 2>&1) ||
    { echo "build-python: apt-get source python3.11 failed (deb-src entry?)" >&2; exit 1; }
  mv "$w"/fetch/python3.11-3.11.*/ "$s" && rm -rf "$w/fetch"
  for p in "$here"/*.patch; do patch -s -p1 -d "$s" <"$p"; done
  cat "$here"/*.patch | sha256sum >"$s/.ivl-patched"
fi

# 2. Frozen modules and deepfreeze.c are generated files the tarball lacks: a native build
#    makes them. Their text does not depend on the target (both digit sizes are in it).
#    Its code only runs once here: compile it without optimisation.
if [ ! -f "$n/Python/deepfreeze/deepfreeze.c" ]; then
  mkdir -p "$n"
  (cd "$n" && { [ -f config.status ] || "$s/configure" >configure.log 2>&1; } &&
    make -j"$jobs" OPT="-DNDEBUG -fwrapv -O0" Python/deepfreeze/deepfreeze.c Python/frozen_modules/getpath.h \
      >make.log 2>&1) ||
    { echo "build-python: native build failed, see $n" >&2; exit 1; }
fi

# 3. Configuration: pyconfig.h from PC/, the core source list from the MSVC project, and the
#    extension modules built into the DLL.
rm -rf "$a/cfg" && mkdir -p "$a/cfg"
cp "$s/PC/pyconfig.h" "$a/cfg/pyconfig.h"
grep -o 'ClCompile Include="[^"]*"' "$s/PCbuild/pythoncore.vcxproj" |
  sed 's/ClCompile Include="//;s/"$//;s#\\#/#g;s#^\.\./##' |
  grep -v -e zlib -e deepfreeze -e '^PC/config.c$' >"$a/cfg/core.txt"
grep -v '^#' "$here/extmods.txt" | cut -d: -f2- | tr ':' '\n' | grep . >"$a/cfg/ext.txt"
mods=$(grep -v '^#' "$here/extmods.txt" | cut -d: -f1 | tr '\n' ' ')
python3 - "$s/PC/config.c" "$a/cfg/config.c" $mods <<'PY'
import sys
src, dst, mods = sys.argv[1], sys.argv[2], sys.argv[3:]
s = open(src).read()
m1 = '/* tools/freeze/makeconfig.py marker for additional "extern" */'
m2 = '/* tools/freeze/makeconfig.py marker for additional "_inittab" entries */'
assert m1 in s and m2 in s
mods = [m for m in mods if f'PyInit_{m}(' not in s]  # zlib is listed there already
s = s.replace(m1, ''.join(f'extern PyObject* PyInit_{m}(void);\n' for m in mods) + m1)
s = s.replace(m2, ''.join(f'    {{"{m}", PyInit_{m}}},\n' for m in mods) + m2)
open(dst, 'w').write(s)
PY

# 4. Compile and link.
mkdir -p "$a/build"
make -C "$a/build" -f "$here/win.mk" -j"$jobs" S="$s" N="$n" C="$a/cfg" CC="$cc" ARCH="$arch" \
  >"$a/build/build.log" 2>&1 ||
  { grep -E ': error|undefined reference' "$a/build/build.log" | head -30 >&2 || true
    echo "build-python: compile failed, see $a/build/build.log" >&2; exit 1; }

# 5. Stage: headers, DLL, import library, and the standard library as a zip (zipimport is frozen).
rm -rf "$a/out" && mkdir -p "$a/out/include"
cp -r "$s/Include/." "$a/out/include/" && cp "$a/cfg/pyconfig.h" "$a/out/include/"
cp "$a/build/python311.dll" "$a/build/libpython311.dll.a" "$a/out/"
python3 - "$s/Lib" "$a/out/python311.zip" <<'PY'
import os, sys, zipfile
lib, dst = sys.argv[1], sys.argv[2]
skip = {'test', 'tests', 'idlelib', 'tkinter', 'turtledemo', 'ensurepip', 'lib2to3',
        'site-packages', '__pycache__'}
with zipfile.ZipFile(dst, 'w', zipfile.ZIP_DEFLATED) as z:
    for root, dirs, files in os.walk(lib):
        dirs[:] = sorted(d for d in dirs if d not in skip)
        for f in sorted(files):
            if f.endswith('.py'):
                p = os.path.join(root, f)
                z.write(p, os.path.relpath(p, lib))
PY
echo "$recipe" >"$a/out/recipe"
echo "setup: Python interpreter for $arch built in $((SECONDS - start)) s"
