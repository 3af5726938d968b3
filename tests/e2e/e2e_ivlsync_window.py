#!/usr/bin/env python3
"""End to end: the real ivlsync.exe's window under Wine, read through the Win32 API by the
probe tool (winprobe.exe): caption, controls and their places, the server lines, the
start-up lines in the log control, the minimised start, closing, and the menu's verification
of a folder downloaded from tools/fileserver.py.

    e2e_ivlsync_window.py --build BUILD --exe PATH --probe PATH [unittest arguments]
"""
import json
import os
import subprocess
import sys
import tempfile
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(TOP, "tests", "lib"))
sys.path.insert(0, os.path.join(TOP, "tools"))
import flashclient as fc  # noqa: E402
import syncdriver  # noqa: E402
from fileservers import FileServer  # noqa: E402
from winetest import driver_args, remove_dir, run_isolated, run_tests_with_services, wait_for, windows_path, wine_command  # noqa: E402

BUILD = None
EXE = None
PROBE = None


def probe(*args):
    """The probe's report as a list of lines, or None when the window is not there."""
    result = subprocess.run(wine_command(BUILD, PROBE, "dialog", *args), stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=120)
    if result.returncode != 0:
        return None
    return result.stdout.decode("utf-8", "replace").replace("\r", "").splitlines()


def field(lines, name):
    return [line[len(name) + 1:] for line in lines if line.startswith(name + " ")]


def controls(lines):
    """(id, class, x, y, width, height, text) of each child control."""
    found = []
    for rest in field(lines, "control"):
        parts = rest.split(" ", 6)
        found.append((int(parts[0]), parts[1], *map(int, parts[2:6]), parts[6] if len(parts) > 6 else ""))
    return found


class Window(unittest.TestCase):
    def setUp(self):
        self.run_ = syncdriver.SyncProgram(BUILD, EXE, prefix="e2e_ivlsync_window_")
        self.addCleanup(self.run_.cleanup)
        self.addCleanup(syncdriver.set_install_root, BUILD, None)
        syncdriver.set_install_root(BUILD, windows_path(os.path.join(self.run_.folder, "install")))

    def open(self, *args, lines_ready=2):
        self.run_.start(*args)
        self.assertTrue(self.run_.wait_log(r"^(Write access granted|access_ok)$"), self.run_.log())
        report = []

        def ready():
            report[:] = probe() or []
            lines = [c for c in controls(report) if c[1] == "Static" and c[0] != 1002]
            return len(lines) >= lines_ready and all(c[6].lower().endswith(" - ready") for c in lines)

        self.assertTrue(wait_for(ready, 60, step=0.5), report)
        return report

    def test_dialog_lines_and_log(self):
        report = self.open("/l", "en")
        self.assertEqual(field(report, "caption"), ["I&V sync"])
        self.assertEqual(field(report, "iconic"), ["0"])
        # The icons and the menu texts are checked in the unit tests: Wine answers WM_GETICON
        # from another process with nothing, and its menus cannot be read from another process.

        found = controls(report)
        status = [c for c in found if c[0] == 1002]
        self.assertEqual(len(status), 1)
        # Dialog units in pixels, from the label's size in the resource (247 x 8), rounded as
        # MapDialogRect does.
        ux, uy = round(status[0][4] * 4 / 247), status[0][5]
        du = lambda x, y: ((x * ux * 2 + 4) // 8, (y * uy * 2 + 8) // 16)  # noqa: E731
        self.assertEqual(status[0][1:], ("Static", *du(7, 7), *du(247, 8), "Status"))
        client_w, client_h = map(int, field(report, "client")[0].split())
        self.assertEqual((client_w, client_h), du(234, 179))

        # One line per server below the label, each one line height further down.
        lines = sorted((c for c in found if c[1] == "Static" and c[0] != 1002), key=lambda c: c[3])
        self.assertEqual(len(lines), 2, found)
        height = status[0][5]
        label_bottom = status[0][3] + height
        self.assertEqual([c[3] for c in lines], [label_bottom, label_bottom + height])
        self.assertEqual(sorted(c[6].split(" ", 1)[1] for c in lines),
                         ["127.0.0.1:50009 - Ready", "127.0.0.1:50010 - Ready"])

        log = [c for c in found if c[0] == 1001]
        self.assertEqual(len(log), 1)
        self.assertEqual(log[0][1], "RichEdit20W")
        self.assertEqual(log[0][2], du(7, 0)[0])
        self.assertEqual(log[0][3], label_bottom + 2 * height, "the log starts below the server lines")
        self.assertEqual(log[0][4], client_w - du(14, 0)[0])

        # The lines of the start-up write test arrive together, before anything else.
        root = windows_path(os.path.join(self.run_.folder, "install"))
        text = field(report, "log")[0]
        self.assertTrue(text.startswith("Testing write access to %s\\\\nWrite access granted\\n" % root), text)

        # Closing with the servers registered ends the program once they have stopped.
        self.assertTrue(self.run_.close_all())
        self.assertEqual(self.run_.procs[0].wait(timeout=30), 0)
        self.assertIsNone(probe())

    def test_minimised_without_language(self):
        report = self.open("/m")
        self.assertEqual(field(report, "iconic"), ["1"])
        # What was logged while minimised is there once the window is restored.
        restored = probe("--restore")
        self.assertEqual(field(restored, "iconic"), ["0"])
        self.assertTrue(field(restored, "log")[0].startswith("testing_access\\naccess_ok\\n"), restored)


class MenuVerify(unittest.TestCase):
    """The menu's verify command (40001) checks the install root's "live" folder."""
    FILES = {"readme.txt": b"hello\r\n", "data/a.bin": bytes(range(256)) * 4, "data/b.bin": b"b" * 3000}

    def setUp(self):
        self.run_ = syncdriver.SyncProgram(BUILD, EXE, prefix="e2e_ivlsync_window_")
        self.addCleanup(self.run_.cleanup)
        self.addCleanup(syncdriver.set_install_root, BUILD, None)
        syncdriver.set_install_root(BUILD, windows_path(os.path.join(self.run_.folder, "install")))
        self.live = os.path.join(self.run_.folder, "install", "live")
        self.state_path = os.path.join(self.live, "synccache", "currentfiles.txt")
        self.run_.start_serving("/m", "/l", "en")

    def menu_verify(self, last):
        """Chooses the menu item; once the log holds the line that ends a run, the lines that
        run wrote."""
        before = len(self.run_.log().splitlines())
        self.assertEqual(probe("--menu", "40001"), [])
        new = lambda: self.run_.log().splitlines()[before:]  # noqa: E731
        self.assertTrue(wait_for(lambda: last in new(), 60), new())
        lines = new()
        return lines[lines.index("Loading file list..."):] if "Loading file list..." in lines else lines

    def download(self):
        work = tempfile.mkdtemp(prefix="e2e_window_dist_")
        self.addCleanup(remove_dir, work)
        source, served = os.path.join(work, "source"), os.path.join(work, "served")
        for name, data in self.FILES.items():
            os.makedirs(os.path.dirname(os.path.join(source, name)), exist_ok=True)
            with open(os.path.join(source, name), "wb") as f:
                f.write(data)
        summary = json.loads(subprocess.run([sys.executable, os.path.join(TOP, "tools", "publish.py"), "--out",
                                             served, "--list", "game=" + source, "--compress", "never"],
                                            check=True, stdout=subprocess.PIPE).stdout)
        server = FileServer(served)
        self.addCleanup(server.stop)
        with fc.FlashClient(timeout=60) as c:
            got = c.run(fc.CMD_DOWNLOAD, 5, "live", "", summary["lists"]["game"]["uniquefile"], "false", server.name)
        self.assertEqual([m.code for m in got[-2:]], [fc.STATUS_FINISHED, fc.STATUS_SESSIONREMOVED], got)

    def test_changed_file_is_dropped_from_the_state(self):
        self.download()
        with open(self.state_path, "rb") as f:
            state = f.read()
        with open(os.path.join(self.live, "data", "b.bin"), "r+b") as f:
            f.write(b"c")  # one changed byte
        folder = windows_path(self.live) + "\\"
        first = ["Loading file list...", "Checking directory " + folder, "Verifying 3 files. This may take a while...",
                 "data/b.bin failed (checksum error)", "3 files checked. 1 of them failed"]
        self.assertEqual(self.menu_verify(first[-1]), first)
        after = b"".join(line + b"\r\n" for line in state.split(b"\r\n")
                         if line and not line.startswith(b'"data/b.bin"'))

        def written():
            try:
                with open(self.state_path, "rb") as f:
                    return f.read()
            except OSError:
                return None
        # The run logs its count before it writes the table back.
        self.assertTrue(wait_for(lambda: written() == after, 30), written())
        # The same lines in the window's log control.
        self.assertIn("\\n".join(first), field(probe(), "log")[0])

        # A second run: the first let its mutex go, and a table that passes is not written again.
        second = ["Loading file list...", "Checking directory " + folder, "Verifying 2 files. This may take a while...",
                  "2 files checked. 0 of them failed"]
        os.utime(self.state_path, (0, 0))
        self.assertEqual(self.menu_verify(second[-1]), second)
        with open(self.state_path, "rb") as f:
            self.assertEqual(f.read(), after)
        self.assertEqual(os.stat(self.state_path).st_mtime, 0)

    def test_without_installed_state_the_error_shows_the_window(self):
        self.assertEqual(field(probe(), "iconic"), ["1"])
        lines = ["Loading file list...", "Checking directory %s\\" % windows_path(self.live),
                 "Couldnt read currentfiles.txt"]
        self.assertEqual(self.menu_verify(lines[-1]), lines)
        self.assertTrue(wait_for(lambda: field(probe(), "iconic") == ["0"], 30), "the error left the window minimised")
        self.assertFalse(os.path.exists(self.state_path))


def main():
    global BUILD, EXE, PROBE
    args, rest = driver_args("exe", "probe")
    BUILD, EXE, PROBE = args.build, args.exe, args.probe
    run_isolated(BUILD)
    sys.exit(run_tests_with_services(BUILD, __name__, [sys.argv[0], *rest]))


if __name__ == "__main__":
    main()
