"""Runs one GoogleTest program under Wine beside file servers that serve a temporary folder.

A runner script gives a function start(root, servers) that fills the folder "root", starts its
servers (each appended to servers, so that every one is stopped by pid even when a later one fails)
and returns the environment values that tell the program where they are. The program's exit code
is the runner's; the folder is removed at the end.

    RUNNER --build BUILD_TREE --exe PROGRAM.exe [gtest arguments...]
"""
import argparse
import os
import shutil
import subprocess
import tempfile

from winetest import wine_command


def run_with_servers(prefix, start):
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--exe", required=True)
    args, rest = ap.parse_known_args()

    work = tempfile.mkdtemp(prefix=prefix)
    os.chmod(work, 0o755)
    root = os.path.join(work, "root")
    os.makedirs(root)
    servers = []
    try:
        env = dict(os.environ)
        env.update(start(root, servers))
        return subprocess.call(wine_command(args.build, args.exe, *rest), env=env)
    finally:
        for server in servers:
            server.stop()
        shutil.rmtree(work, ignore_errors=True)
