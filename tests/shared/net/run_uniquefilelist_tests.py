#!/usr/bin/env python3
"""Runs test_uniquefilelist under Wine against two file servers on 127.0.0.1.

Both tools/fileserver.py instances serve one temporary folder: "good" answers with the files
(bodies under "cut/" end after 10 bytes), "refusing" answers 500 for every path. A third port is bound and closed again, so nothing
listens there. The ports go to the program in IVL_UFL_GOOD, IVL_UFL_REFUSING and
IVL_UFL_CLOSED, the served folder's Windows path in IVL_UFL_ROOT. Servers are stopped by pid
and the folder removed at the end.

    run_uniquefilelist_tests.py --build BUILD_TREE --exe test_uniquefilelist.exe [gtest arguments...]
"""
import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.abspath(os.path.join(HERE, "..", "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tests", "lib"))
from winetest import wine_command, windows_path  # noqa: E402


def start_fileserver(root, work, name, script=None):
    port_file = os.path.join(work, name + ".port")
    cmd = [sys.executable, os.path.join(SOURCE, "tools", "fileserver.py"), "--root", root,
           "--port", "0", "--port-file", port_file]
    if script is not None:
        script_file = os.path.join(work, name + ".json")
        with open(script_file, "w") as f:
            json.dump(script, f)
        cmd += ["--script", script_file]
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL)
    end = time.time() + 10
    while not os.path.exists(port_file) or os.path.getsize(port_file) == 0:
        if proc.poll() is not None or time.time() > end:
            stop(proc)
            raise RuntimeError("fileserver did not start")
        time.sleep(0.02)
    with open(port_file) as f:
        return proc, int(f.read())


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def stop(proc):
    if proc is None or proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(5)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--exe", required=True)
    args, rest = ap.parse_known_args()

    work = tempfile.mkdtemp(prefix="ivl_ufl_")
    os.chmod(work, 0o755)
    root = os.path.join(work, "root")
    os.makedirs(root)
    servers = []
    try:
        good, good_port = start_fileserver(root, work, "good", {"paths": {"/cut/*": {"cut": 10}}})
        servers.append(good)
        refusing, refusing_port = start_fileserver(root, work, "refusing",
                                                   {"paths": {"/*": {"status": 500, "body": "<html>no</html>"}}})
        servers.append(refusing)
        env = dict(os.environ)
        env["IVL_UFL_GOOD"] = str(good_port)
        env["IVL_UFL_REFUSING"] = str(refusing_port)
        env["IVL_UFL_CLOSED"] = str(closed_port())
        env["IVL_UFL_ROOT"] = windows_path(root)
        return subprocess.call(wine_command(args.build, args.exe, *rest), env=env)
    finally:
        for proc in servers:
            stop(proc)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
