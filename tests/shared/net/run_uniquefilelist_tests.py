#!/usr/bin/env python3
"""Runs test_uniquefilelist under Wine against two file servers on 127.0.0.1.

Both tools/fileserver.py instances serve one temporary folder: "good" answers with the files
(bodies under "cut/" end after 10 bytes), "refusing" answers 500 for every path. A third port is bound and closed again, so nothing
listens there. The ports go to the program in IVL_UFL_GOOD, IVL_UFL_REFUSING and
IVL_UFL_CLOSED, the served folder's Windows path in IVL_UFL_ROOT. Servers are stopped by pid
and the folder removed at the end.

    run_uniquefilelist_tests.py --build BUILD_TREE --exe test_uniquefilelist.exe [gtest arguments...]
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.abspath(os.path.join(HERE, "..", "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tests", "lib"))
from fileservers import FileServer, free_port  # noqa: E402
from serverrun import run_with_servers  # noqa: E402
from winetest import windows_path  # noqa: E402


def start(root, servers):
    good = FileServer(root, {"/cut/*": {"cut": 10}})
    servers.append(good)
    refusing = FileServer(root, {"/*": {"status": 500, "body": "<html>no</html>"}})
    servers.append(refusing)
    return {
        "IVL_UFL_GOOD": str(good.port),
        "IVL_UFL_REFUSING": str(refusing.port),
        "IVL_UFL_CLOSED": str(free_port()),
        "IVL_UFL_ROOT": windows_path(root),
    }


if __name__ == "__main__":
    sys.exit(run_with_servers("ivl_ufl_", start))
