#!/usr/bin/env python3
"""Publishes folders as a distribution the way the file servers hold it (Python 3 stdlib only).

    publish.py --out DIR --list ID=FOLDER [--list ID=FOLDER ...] [--bundle ID ...]
               [--root uniquelist.xml] [--settings KEY=VALUE ...] [--compress auto|never|always]
               [--jobs N]

For every list ID the files under FOLDER (every file, relative names with '/', bytewise name
order) become:
  - DIR/<sha256 hex>-<length>: the file under its checksum text;
  - DIR/<sha256 hex>-<length>.bz2: its bzip2 form, written when compression pays (with
    "auto", when it saves at least 1/16 of the file); the record then gives the .bz2 size
    as transfer size, otherwise 0;
  - a file list DIR/<ID>_<hash>.txt in the file-table text: one line a file,
    "name",<sha256 hex>-<length>,<transfer size>,1,<flag2>, CR LF ended. flag2 is 0 for the
    parts of an image pack ("_packed/.../pack.bin", "pack.bin.2", ...: repack pending), else 1.
    Names are written relative to the folder of the name on the line before (the readers load
    lists in relative mode). The list's name carries a hash of its text: lists are cached by
    name for ever, so a changed list must get a new name.
  - with --bundle ID: the bundle DIR/<ID>_<hash>_bundle.bz2, one bzip2 stream of the list's
    files back to back in the list's order, and the list is written so that it also reads as
    the bundle's manifest: each name climbs with '..' out of the previous name's folder, so
    it resolves to the full name both in relative mode and without it.
The root unique-list XML DIR/<root> maps each ID to its list ("uniquefile") and bundle
("uniquefilebundle"). --settings writes DIR/settings.js (key="value" lines) for the update
mode; it needs unique_file_servers, distribution, vostxdistribution and uniqueversionfilename.

The output depends only on the input files and the options (no time stamps), so the same
folders always publish to the same bytes. A summary (JSON) goes to standard output.
"""
import argparse
import bz2
import concurrent.futures
import hashlib
import json
import os
import sys
from xml.sax.saxutils import quoteattr

# Names Windows takes for devices: in any piece, with any extension, in any case.
DEVICE_NAMES = frozenset(["CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"] +
                         [p + d for p in ("COM", "LPT") for d in "0123456789\u00b9\u00b2\u00b3"])
# What the downloader keeps in a target folder for itself: it refuses lists that name these.
OWN_FILES = ("synccache", "fetchbatch.log", "_packed/bank5.idx", "_packed/bank5.bin", "_packed/bank5.idx.tmp",
             "_packed/bank5.bin.tmp", "_packed/bank5_delta.idx", "_packed/bank5_delta.bin")
SETTINGS_KEYS = ("unique_file_servers", "distribution", "vostxdistribution", "uniqueversionfilename")


def list_files(folder):
    """Relative names ('/'-separated) of every file under folder, in bytewise order."""
    names = []
    for top, dirs, files in os.walk(folder):
        dirs.sort()
        for f in files:
            full = os.path.join(top, f)
            if os.path.isfile(full):
                names.append(os.path.relpath(full, folder).replace(os.sep, "/"))
    names.sort(key=lambda n: n.encode("utf-8"))
    check_names(names)
    return names


def folded(name):
    """The name as Windows compares it: '\\' as '/', pieces without trailing dots and blanks, upper case."""
    pieces = [p.rstrip(". ") for p in name.replace("\\", "/").split("/")]
    return "/".join("".join(c.upper() if len(c.upper()) == 1 else c for c in p) for p in pieces)


def check_names(names):
    """Refuses (exit with a message) a tree the readers would refuse: unusable or device names, the
    downloader's own files, and two names for one file on Windows (also a file where another
    name needs a folder)."""
    seen = {}
    for n in names:
        pieces = n.replace("\\", "/").split("/")
        if any(c < " " or c == ":" for c in n) or any(p.strip(". ") == "" for p in pieces):
            raise SystemExit("publish.py: unusable file name %r" % n)
        if any(p.split(".", 1)[0].rstrip(" ").upper() in DEVICE_NAMES for p in pieces):
            raise SystemExit("publish.py: %r names a Windows device" % n)
        f = folded(n)
        for own in OWN_FILES:
            o = folded(own)
            if f == o or f.startswith(o + "/") or o.startswith(f + "/"):
                raise SystemExit("publish.py: %r takes the downloader's own %s" % (n, own))
        if f in seen:
            raise SystemExit("publish.py: %r and %r name the same file on Windows" % (seen[f], n))
        seen[f] = n
    for f, n in seen.items():
        parts = f.split("/")
        for i in range(1, len(parts)):
            folder = "/".join(parts[:i])
            if folder in seen:
                raise SystemExit("publish.py: %r is a file but %r needs it as a folder" % (seen[folder], n))


def is_pack_part(name):
    return name.startswith("_packed/") and name.rsplit("/", 1)[-1].lower().startswith("pack.bin")


def store_blob(args):
    """Stores one file under its checksum text; returns (checksum text, transfer size)."""
    path, out, compress = args
    with open(path, "rb") as f:
        data = f.read()
    text = "%s-%d" % (hashlib.sha256(data).hexdigest(), len(data))
    plain = os.path.join(out, text)
    if not os.path.exists(plain):
        write_atomic(plain, data)
    size = 0
    if compress != "never" and data:
        packed = bz2.compress(data, 9)
        if compress == "always" or len(packed) <= len(data) - len(data) // 16:
            size = len(packed)
            if not os.path.exists(plain + ".bz2"):
                write_atomic(plain + ".bz2", packed)
    return text, size


def write_atomic(path, data):
    tmp = path + ".tmp%d" % os.getpid()
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def relative_name(name, previous):
    """The name as written after previous in relative mode (shortest form)."""
    pieces = name.split("/")
    folder = previous.split("/")[:-1] if previous else []
    common = 0
    while common < min(len(folder), len(pieces) - 1) and folder[common] == pieces[common]:
        common += 1
    return "/".join([".."] * (len(folder) - common) + pieces[common:])


def climbing_name(name, previous):
    """The name climbing out of previous's folder: reads the same with and without relative mode."""
    depth = len(previous.split("/")) - 1 if previous else 0
    return "/".join([".."] * depth + [name])


def list_text(records, bundled):
    lines = []
    previous = ""
    for name, text, size in records:
        written = climbing_name(name, previous) if bundled else relative_name(name, previous)
        lines.append('"%s",%s,%d,1,%d\r\n' % (written, text, size, 0 if is_pack_part(name) else 1))
        previous = name
    return "".join(lines).encode("utf-8")


def write_bundle(path, folder, records):
    comp = bz2.BZ2Compressor(9)
    tmp = path + ".tmp%d" % os.getpid()
    with open(tmp, "wb") as out:
        for name, _, _ in records:
            with open(os.path.join(folder, name), "rb") as f:
                while True:
                    piece = f.read(1 << 20)
                    if not piece:
                        break
                    out.write(comp.compress(piece))
        out.write(comp.flush())
    os.replace(tmp, path)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--out", required=True)
    ap.add_argument("--list", action="append", default=[], metavar="ID=FOLDER")
    ap.add_argument("--bundle", action="append", default=[], metavar="ID")
    ap.add_argument("--root", default="uniquelist.xml")
    ap.add_argument("--settings", action="append", default=[], metavar="KEY=VALUE")
    ap.add_argument("--compress", choices=("auto", "never", "always"), default="auto")
    ap.add_argument("--jobs", type=int, default=min(4, os.cpu_count() or 1))
    args = ap.parse_args(argv)

    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    lists = []
    for item in args.list:
        ident, sep, folder = item.partition("=")
        if not sep or not ident or not os.path.isdir(folder):
            raise SystemExit("publish.py: --list needs ID=FOLDER with an existing folder: %r" % item)
        lists.append((ident, os.path.abspath(folder)))
    unknown = set(args.bundle) - {i for i, _ in lists}
    if unknown:
        raise SystemExit("publish.py: --bundle of an unknown list: %s" % ", ".join(sorted(unknown)))

    summary = {"root": args.root, "lists": {}}
    root_lines = ["<?xml version=\"1.0\" encoding=\"utf-8\"?>", "<uniquelists>"]
    with concurrent.futures.ProcessPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        for ident, folder in lists:
            names = list_files(folder)
            blobs = pool.map(store_blob, [(os.path.join(folder, n), out, args.compress) for n in names],
                             chunksize=16)
            records = [(n, t, s) for n, (t, s) in zip(names, blobs)]
            bundled = ident in args.bundle
            text = list_text(records, bundled)
            digest = hashlib.sha256(text).hexdigest()[:12]
            list_name = "%s_%s.txt" % (ident, digest)
            write_atomic(os.path.join(out, list_name), text)
            entry = {"uniquefile": list_name, "files": {n: {"text": t, "size": s} for n, t, s in records}}
            attrs = "id=%s uniquefile=%s" % (quoteattr(ident), quoteattr(list_name))
            if bundled:
                bundle = "%s_%s_bundle" % (ident, digest)
                write_bundle(os.path.join(out, bundle + ".bz2"), folder, records)
                entry["bundle"] = bundle
                attrs += " uniquefilebundle=%s" % quoteattr(bundle)
            root_lines.append("  <list %s/>" % attrs)
            summary["lists"][ident] = entry
    root_lines.append("</uniquelists>")
    write_atomic(os.path.join(out, args.root), ("\r\n".join(root_lines) + "\r\n").encode("utf-8"))

    if args.settings:
        values = {}
        for item in args.settings:
            key, sep, value = item.partition("=")
            if not sep or any(c in value for c in '"\r\n') or any(c in key for c in '="\r\n'):
                raise SystemExit("publish.py: --settings needs KEY=VALUE without quotes: %r" % item)
            values[key] = value
        missing = [k for k in SETTINGS_KEYS if k not in values]
        if missing:
            raise SystemExit("publish.py: --settings lacks %s" % ", ".join(missing))
        text = "".join('%s="%s"\n' % (k, values[k]) for k in sorted(values))
        write_atomic(os.path.join(out, "settings.js"), text.encode("utf-8"))
    json.dump(summary, sys.stdout, indent=1, sort_keys=True)
    sys.stdout.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
