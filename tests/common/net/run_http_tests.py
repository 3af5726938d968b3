#!/usr/bin/env python3
"""Runs test_http under Wine against real servers on 127.0.0.1.

Starts tools/fileserver.py (scripted answers, tests/common/net/http_script.json) and nginx (an
ordinary static file server) on free ports, both serving one temporary folder with generated
files, runs the test program through tools/wine-run with the ports in IVL_HTTP_PORT and
IVL_NGINX_PORT and the folder's Windows path in IVL_HTTP_ROOT, then stops both servers by pid
and removes the folder.

    run_http_tests.py --build BUILD_TREE --exe test_http.exe [gtest arguments...]
"""
import bz2
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.abspath(os.path.join(HERE, "..", "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tests", "lib"))
from fileservers import FileServer, Nginx  # noqa: E402
from serverrun import run_with_servers  # noqa: E402
from winetest import windows_path  # noqa: E402


def pattern(size, seed):
    return bytes((i * 131 + (i >> 8) + seed) & 255 for i in range(size))


def make_files(root):
    def write(name, data):
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, 0o644)

    write("a.txt", b"hello from the file server\n")
    write("dir/a.txt", b"second file\n")
    write("empty.bin", b"")
    write("mid.bin", pattern(5000, 1))
    write("big.bin", pattern(300000, 2))
    write("max.bin", pattern(1048576 + 10, 3))
    text = b"".join(b"line %d of the packed file\n" % i for i in range(5000))
    write("data", text)
    write("data.bz2", bz2.compress(text, 9))
    write("plain.bz2", b"this file is not bzip2 data\n")
    for d, _, _ in os.walk(root):
        os.chmod(d, 0o755)


def start(root, servers):
    make_files(root)
    with open(os.path.join(HERE, "http_script.json")) as f:
        fileserver = FileServer(root, json.load(f)["paths"])
    servers.append(fileserver)
    env = {"IVL_HTTP_PORT": str(fileserver.port), "IVL_HTTP_ROOT": windows_path(root)}
    try:
        nginx = Nginx(root)
        servers.append(nginx)
        env["IVL_NGINX_PORT"] = str(nginx.port)
    except RuntimeError as e:
        sys.stderr.write("%s; its tests are skipped\n" % e)
    return env


if __name__ == "__main__":
    sys.exit(run_with_servers("ivl_http_", start))
