"""Helpers for tests that run the Windows programs under the project's Wine runner."""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RUNNER = os.path.join(TOP, "tools", "wine-run")
NETNS_RUNNER = os.path.join(TOP, "tools", "netns-run")


def wine_command(build, *args):
    """The runner's command line for a program of the build's prefix, or for "start"/"stop"."""
    return [RUNNER, "--build", build, *args]


class Wine:
    def __init__(self, build):
        self.build = os.path.abspath(build)

    def run(self, exe, *args, env=None, timeout=120, cwd=None):
        """Runs a program to its end; returns (exit code, stdout+stderr text)."""
        full = dict(os.environ)
        if env:
            full.update(env)
        p = subprocess.run(wine_command(self.build, exe, *args), cwd=cwd, env=full,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
        return p.returncode, p.stdout.decode("latin-1")

    def start(self, exe, *args, env=None, cwd=None):
        """Starts a program in the background; the caller ends it (see stop)."""
        full = dict(os.environ)
        if env:
            full.update(env)
        return subprocess.Popen(wine_command(self.build, exe, *args), cwd=cwd, env=full,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                start_new_session=True)

    @staticmethod
    def stop(proc, timeout=10):
        if proc.poll() is None:
            try:
                proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, 9)
                proc.wait()
        return proc.returncode


def run_isolated(build):
    """Runs this script again under tools/netns-run unless it already runs there: the sync
    program's ports are fixed, and no other run on this machine may meet this one."""
    if os.environ.get("IVL_ISOLATED"):
        return
    sys.stdout.flush()
    sys.stderr.flush()
    os.execv(NETNS_RUNNER, [NETNS_RUNNER, "--build", os.path.abspath(build), sys.executable, *sys.argv])


def driver_args(*names, optional=()):
    """The command line of a test driver: --build and each of names, required, and each of
    optional, all paths (made absolute; an optional one not given is None). Returns the values
    and the arguments left over for unittest."""
    ap = argparse.ArgumentParser()
    for name in ("build",) + names:
        ap.add_argument("--" + name, required=True)
    for name in optional:
        ap.add_argument("--" + name)
    args, rest = ap.parse_known_args()
    for name in ("build",) + names + tuple(optional):
        if getattr(args, name) is not None:
            setattr(args, name, os.path.abspath(getattr(args, name)))
    return args, rest


def start_services(build):
    """Starts the prefix's missing services; whether this call started any (and so must stop)."""
    out = subprocess.run(wine_command(build, "start"), check=True, stdout=subprocess.PIPE, text=True).stdout
    return bool(out.strip())


def run_tests_with_services(build, module, argv):
    """unittest.main with the prefix's services up for the whole run; returns the exit code.
    Services that were up before stay up: other runs may be using them."""
    started = start_services(build)
    try:
        program = unittest.main(module=module, argv=argv, exit=False, verbosity=2)
    finally:
        if started:
            subprocess.run(wine_command(build, "stop"))
    return 0 if program.result.wasSuccessful() else 1


def windows_path(path):
    """The name Wine gives a host path through its Z: drive."""
    return "Z:" + path.replace("/", "\\")


def scratch_dir(build, name):
    """A fresh folder inside the build tree (so Wine reaches it through its Z: drive)."""
    base = os.path.join(os.path.abspath(build), "test-scratch")
    os.makedirs(base, exist_ok=True)
    return tempfile.mkdtemp(prefix=name + "-", dir=base)


def remove_dir(path):
    shutil.rmtree(path, ignore_errors=True)


def wait_for(predicate, timeout, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def port_open(port, host="127.0.0.1"):
    try:
        with socket.create_connection((host, port), timeout=0.5):
            return True
    except OSError:
        return False


def port_listening(port):
    """Whether a socket listens on 127.0.0.1:port (read from /proc, without connecting)."""
    want = "0100007F:%04X" % port
    try:
        with open("/proc/net/tcp") as f:
            return any(line.split()[1] == want and line.split()[3] == "0A" for line in f.readlines()[1:])
    except OSError:
        return False


def host_pids():
    return [int(entry) for entry in os.listdir("/proc") if entry.isdigit()]


def in_prefix(pid, build):
    """Whether the process runs in the build's Wine prefix; OSError when it has gone."""
    marker = ("WINEPREFIX=" + os.path.join(os.path.abspath(build), "wineprefix")).encode()
    with open("/proc/%d/environ" % pid, "rb") as f:
        return marker in f.read().split(b"\0")
