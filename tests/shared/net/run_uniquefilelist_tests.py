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
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.abspath(os.path.join(HERE, "..", "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tests", "lib"))
from fileservers import FileServer, free_port  # noqa: E402
from winetest import wine_command, windows_path  # noqa: E402


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
        good = FileServer(root, {"/cut/*": {"cut": 10}})
        servers.append(good)
        refusing = FileServer(root, {"/*": {"status": 500, "body": "<html>no</html>"}})
        servers.append(refusing)
        env = dict(os.environ)
        env["IVL_UFL_GOOD"] = str(good.port)
        env["IVL_UFL_REFUSING"] = str(refusing.port)
        env["IVL_UFL_CLOSED"] = str(free_port())
        env["IVL_UFL_ROOT"] = windows_path(root)
        return subprocess.call(wine_command(args.build, args.exe, *rest), env=env)
    finally:
        for server in servers:
            server.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
