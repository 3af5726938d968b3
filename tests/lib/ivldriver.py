"""The game launcher ivl.exe under Wine for the end-to-end tests: a copy of it with the stand-ins
beside it in a scratch folder of each test, its logs, its windows through the probe, and the
command line of the scripts that drive it:
    SCRIPT --build BUILD --exe IVL --probe PROBE --standins FILE... [unittest arguments]
"""
import argparse
import os
import shutil
import subprocess
import sys
import unittest

from winetest import Wine, run_tests_with_services, scratch_dir, remove_dir, wait_for

ARGS = argparse.Namespace()  # filled in by main()


class LauncherTest(unittest.TestCase):
    def setUp(self):
        self.wine = Wine(ARGS.build)
        self.dir = scratch_dir(ARGS.build, "ivl")
        self.install = os.path.join(self.dir, "install")
        self.elsewhere = os.path.join(self.dir, "elsewhere")
        os.makedirs(self.elsewhere)
        self.procs = []
        self.install_copy(self.install)

    def tearDown(self):
        for proc in self.procs:
            if proc.poll() is None:
                os.killpg(proc.pid, 9)
                proc.wait()
        remove_dir(self.dir)

    def install_copy(self, folder):
        os.makedirs(folder, exist_ok=True)
        for path in [ARGS.exe] + ARGS.standins:
            shutil.copy(path, folder)

    def write(self, name, text, folder=None):
        with open(os.path.join(folder or self.install, name), "w", newline="") as f:
            f.write(text)

    def read(self, name, folder=None):
        path = os.path.join(folder or self.install, name)
        if not os.path.exists(path):
            return None
        with open(path, "r", errors="replace") as f:
            return f.read()

    def lines(self, name, folder=None):
        text = self.read(name, folder)
        return [] if text is None else text.splitlines()

    def exe(self, folder=None):
        return os.path.join(folder or self.install, "ivl.exe")

    def run_ivl(self, *args, folder=None):
        """Runs the launcher from an unrelated current folder; returns its exit code."""
        rc, _ = self.wine.run(self.exe(folder), *args, cwd=self.elsewhere, timeout=120)
        return rc

    def start_ivl(self, *args, folder=None):
        proc = self.wine.start(self.exe(folder), *args, cwd=self.elsewhere)
        self.procs.append(proc)
        return proc

    def probe(self, *args):
        return self.wine.run(ARGS.probe, *args, timeout=60)

    def press_box(self, caption, button="ok"):
        """Waits for the message box, presses its button and returns its text lines."""
        found = []

        def look():
            try:
                rc, out = self.probe("box", caption, button)
            except subprocess.TimeoutExpired:
                return False
            if rc == 0:
                found.append([line[5:] for line in out.splitlines() if line.startswith("text ")])
            return rc == 0
        self.assertTrue(wait_for(look, 60, step=0.3), "no message box captioned %r" % caption)
        return found[0]

    def wait_line(self, name, prefix, folder=None, timeout=60):
        return wait_for(lambda: any(line.startswith(prefix) for line in self.lines(name, folder)), timeout, step=0.2)

    def post(self, title, message, wparam=0, lparam=0):
        rc, _ = self.probe("post", title, str(message), str(wparam), str(lparam))
        self.assertEqual(0, rc, "no window titled %r" % title)

    def finish(self, proc, timeout=60):
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, 9)
            proc.wait()
            self.fail("the launcher did not end")

    def start_line(self, folder=None):
        starts = [line for line in self.lines("player.log", folder) if line.startswith("Start ")]
        self.assertEqual(1, len(starts), self.lines("player.log", folder))
        return starts[0]


def main(module):
    """Reads the command line into ARGS and runs the module's tests with the prefix's services up."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--standins", nargs="+", required=True)
    _, rest = parser.parse_known_args(namespace=ARGS)
    ARGS.probe = os.path.abspath(ARGS.probe)
    return run_tests_with_services(ARGS.build, module, [sys.argv[0]] + rest)
