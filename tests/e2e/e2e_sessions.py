#!/usr/bin/env python3
"""End to end: the sessions of the real ivlsync.exe under Wine: the run command (CMD_RUN_IVL),
the downloads (CMD_DOWNLOAD, CMD_DOWNLOADNAMED) from tools/fileserver.py serving a distribution
made by tools/publish.py, and the verification of what they installed (CMD_VERIFY). The program
runs in a Wine prefix of this test's own, whose registry names a scratch install root; the game
launcher is the recorder stand-in copied there as "ivl.exe", the DirectX setup the dxsetup
stand-in. Wine's d3dx libraries are builtin: a DirectX library is made missing by deleting its
file from the private prefix.

    e2e_sessions.py --build BUILD --exe IVLSYNC --recorder IVLRECORDER --dxsetup DXSETUP
                   --probe PROBE [unittest args]
"""
import contextlib
import json
import os
import shutil
import signal
import subprocess
import sys
import time
import unittest
import urllib.request

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(TOP, "tools"))
sys.path.insert(0, os.path.join(TOP, "tests", "lib"))
import flashclient as fc  # noqa: E402
from fileservers import FileServer  # noqa: E402
from syncdriver import SyncProgram  # noqa: E402
from winetest import (driver_args, host_pids, in_prefix, port_open, remove_dir, run_isolated, scratch_dir,  # noqa: E402
                      wait_for, windows_path, wine_command)

HOST = "127.0.0.1"
ARGS = None
PRIVATE = None  # the private build folder: its wineprefix and wine-state
ROOT = None     # the install root the private registry names
INSTALL = None  # ROOT/live
MISSING_DLL = "d3dx9_43.dll"

CHECKING = (fc.STATUS_PROGRESS, "0.1", "Checking DirectX")
STARTED = (fc.STATUS_PROGRESS, "1", "Started")


def private_run(*args, timeout=120):
    subprocess.run(wine_command(PRIVATE, *args), check=True, timeout=timeout,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def read_text(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("latin-1")
    except OSError:
        return None


def game_pids():
    """Processes of the private prefix that run the install folder's ivl.exe."""
    found = []
    for pid in host_pids():
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                cmdline = f.read().decode("latin-1")
            if "ivl.exe" in cmdline and in_prefix(pid, PRIVATE):
                found.append(pid)
        except OSError:
            continue
    return found


class Sync(SyncProgram):
    """ivlsync.exe in the private prefix, for the whole run."""

    def __init__(self):
        if not wait_for(lambda: not port_open(fc.COMMAND_PORT) and not port_open(fc.POLICY_PORT), 180, 0.5):
            raise RuntimeError("the command ports stay in use")
        super().__init__(PRIVATE, ARGS.exe, prefix="sessions-sync-", copy=False)
        try:
            self.start_serving("/m", ports=(fc.COMMAND_PORT,))
        except RuntimeError:
            self.kill()
            raise

    def log(self):
        # the bytes as written: the tests look for the program's CR LF line ends
        return read_text(self.log_path) or ""

    def close(self):
        try:
            with fc.FlashClient(HOST, fc.COMMAND_PORT) as c:
                c.command(fc.CMD_CLOSE, 5)
            self.proc.wait(30)
        except Exception:  # noqa: BLE001
            pass
        self.kill()

    def kill(self):
        """Ends the program at once and removes its folder."""
        super().kill()
        for out in self.outs:
            out.close()
        remove_dir(self.folder)


class RunGame(unittest.TestCase):
    sync = None
    next_session = 700

    @classmethod
    def setUpClass(cls):
        cls.sync = Sync()

    @classmethod
    def tearDownClass(cls):
        cls.sync.close()

    def setUp(self):
        # A fresh install folder: the recorder as the launcher, the stand-in setup.
        remove_dir(INSTALL)
        os.makedirs(os.path.join(INSTALL, "DirectX"))
        shutil.copy(ARGS.recorder, os.path.join(INSTALL, "ivl.exe"))
        shutil.copy(ARGS.dxsetup, os.path.join(INSTALL, "DirectX", "dxsetup.exe"))
        # ids of their own for each test's commands
        self.session = RunGame.next_session
        RunGame.next_session += 20

    def tearDown(self):
        self.end_game()
        self.end_setup()
        if not wait_for(lambda: not game_pids(), 20):
            for pid in game_pids():
                os.kill(pid, signal.SIGKILL)
        restore_dll()

    # --- helpers ---
    def client(self):
        return fc.FlashClient(HOST, fc.COMMAND_PORT, timeout=30)

    def recorded(self, folder=None):
        """The recorder's command line and current folder, once it has written them."""
        path = os.path.join(folder or INSTALL, "ivlrecorder.log")
        self.assertTrue(wait_for(lambda: (read_text(path) or "").count("\r\n") >= 2, 30), "the game did not start")
        return read_text(path).split("\r\n")[:2]

    def dismiss_error_box(self):
        """The shell's error box for a program that cannot be started: its text, once closed."""
        texts = []

        def close():
            p = subprocess.run(wine_command(PRIVATE, ARGS.probe, "box", "Error"), stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, timeout=60)
            texts.append(p.stdout.decode("latin-1"))
            return p.returncode == 0

        self.assertTrue(wait_for(close, 30, 0.2), "no error box")
        return texts[-1]

    def end_game(self, folder=None):
        open(os.path.join(folder or INSTALL, "ivlrecorder.end"), "w").close()

    def end_setup(self):
        open(os.path.join(INSTALL, "DirectX", "dxsetup.end"), "w").close()

    def set_setup(self, control):
        with open(os.path.join(INSTALL, "DirectX", "dxsetup.control"), "w") as f:
            f.write(control)

    def until(self, c, sid, wanted):
        """Messages of session sid up to and including the first that wanted() accepts."""
        got = []
        while not got or not wanted(got[-1]):
            m = c.read()
            if m.session == sid:
                got.append((m.code, *m.params))
        return got

    def assert_session_messages(self, got, body):
        """ERR_OK anywhere before the end (a session's first reports may overtake it), the other
        messages in order, 200 last and nothing after it."""
        self.assertIn((fc.ERR_OK,), got)
        rest = [m for m in got if m != (fc.ERR_OK,)]
        self.assertEqual(rest, body + [(fc.STATUS_SESSIONREMOVED,)])

    # --- cases ---
    def test_command_line_and_normal_end(self):
        # An install folder with a blank: the launcher gets its path quoted and the arguments
        # as they are. (Wine quotes an unquoted path it found at blanks by itself; Windows
        # does not, which process_test checks on the line that is built.)
        spaced = os.path.join(ROOT, "live game")
        self.addCleanup(remove_dir, spaced)
        os.makedirs(spaced)
        shutil.copy(ARGS.recorder, os.path.join(spaced, "ivl.exe"))
        exe = windows_path(os.path.join(INSTALL, "ivl.exe"))
        cases = [
            ("live", ["7", "99", "en"], exe + " /S 7 /M 7 /P 99 /W w /lang en /NOSERVER  /H 0"),
            ("live", ["7", "99", "en", "a=1", "b=2"],
             exe + ' /S 7 /M 7 /P 99 /W w /lang en /NOSERVER  /H 0 /R "a=1"  /R "b=2" '),
            # values the launcher would misread unquoted
            ("live", ["", "a b", "en", "s=x y"],
             exe + ' /S "" /M "" /P "a b" /W w /lang en /NOSERVER  /H 0 /R "s=x y" '),
            # values that would be launcher switches unquoted, the web entrance among them
            ("live", ["/D", "/R", "/Mx", "s=/L x"],
             exe + ' /S "/D" /M "/D" /P "/R" /W "/NOSERVER" /lang "/Mx" /NOSERVER  /H 0 /R "s=/L x" ', "/NOSERVER"),
            ("live game", ["7", "99", "en", "a=1"],
             '"%s" /S 7 /M 7 /P 99 /W w /lang en /NOSERVER  /H 0 /R "a=1" ' % windows_path(
                 os.path.join(spaced, "ivl.exe"))),
        ]
        for n, (dist, params, expected, *web) in enumerate(cases):
            with self.subTest(dist=dist, params=params, web=web):
                sid = self.session + n
                folder = os.path.join(ROOT, dist)
                remove_file(os.path.join(folder, "ivlrecorder.log"))
                remove_file(os.path.join(folder, "ivlrecorder.end"))
                with self.client() as c:
                    c.send(fc.CMD_RUN_IVL, sid, web[0] if web else "w", dist, "", params[0], params[1], *params[2:])
                    got = self.until(c, sid, lambda m: m == STARTED)
                    command_line, cwd = self.recorded(folder)
                    self.assertEqual(command_line, expected)
                    self.assertEqual(cwd, windows_path(folder))
                    self.assertTrue(c.expect_silence(0.5), "the session ended while the game runs")
                    self.end_game(folder)
                    got += self.until(c, sid, lambda m: m[0] == fc.STATUS_SESSIONREMOVED)
                    self.assertTrue(c.expect_silence(0.3))
                self.assert_session_messages(got, [CHECKING, STARTED, (fc.STATUS_FINISHED,)])
                self.assertFalse(os.path.exists(os.path.join(folder, "DirectX", "dxsetup.log")))
        self.assertIn("Check for d3dx11_43.dll installed: yes", self.sync.log())
        self.assertIn("Check for DX installed: yes", self.sync.log())

    def test_cancel_ends_the_game(self):
        sid = self.session
        with self.client() as c:
            c.send(fc.CMD_RUN_IVL, sid, "w", "live", "", "7", "99", "en")
            got = self.until(c, sid, lambda m: m == STARTED)
            self.recorded()
            self.assertTrue(wait_for(lambda: game_pids(), 10))
            c.send(fc.CMD_CANCEL, sid)
            got += self.until(c, sid, lambda m: m[0] == fc.STATUS_SESSIONREMOVED)
            self.assertTrue(c.expect_silence(0.3))
        self.assert_session_messages(got, [CHECKING, STARTED, (fc.STATUS_STOPPED,)])
        # terminated, not told to end
        self.assertFalse(os.path.exists(os.path.join(INSTALL, "ivlrecorder.end")))
        self.assertTrue(wait_for(lambda: not game_pids(), 10), "the game still runs")

    def test_game_that_cannot_start(self):
        os.remove(os.path.join(INSTALL, "ivl.exe"))
        with self.client() as c:
            c.send(fc.CMD_RUN_IVL, self.session, "w", "live", "", "7", "99", "en")
            # The start is made with the shell's error box allowed; the reply follows its close.
            self.assertTrue(self.dismiss_error_box().strip())
            got = self.until(c, self.session, lambda m: m[0] == fc.STATUS_SESSIONREMOVED)
        text = "Failed to run: %s\n" % windows_path(os.path.join(INSTALL, "ivl.exe"))
        self.assert_session_messages(got, [CHECKING, (fc.ERR_FAILED, text)])

    def test_values_refused_before_anything_runs(self):
        # (web_entrance, distribution, mission, player, language, extra...) -> reply text
        prefix = "CMD_RUN_IVL: invalid parameter for "
        cases = [
            (("w", "..\\..\\x", "7", "9", "en"), prefix + "distribution (not a folder under the install root)"),
            (("w", "live\\..\\..", "7", "9", "en"), prefix + "distribution (not a folder under the install root)"),
            (("w", "C:\\Windows", "7", "9", "en"), prefix + "distribution (not a folder under the install root)"),
            (("w", "\\x", "7", "9", "en"), prefix + "distribution (not a folder under the install root)"),
            (('w"', "live", "7", "9", "en"), prefix + "web_entrance (double quote)"),
            (("w", "live", '7" /R "x', "9", "en"), prefix + "mission id (double quote)"),
            (("w", "live", "7", '"', "en"), prefix + "player session id (double quote)"),
            (("w", "live", "7", "9", 'e"n'), prefix + "language (double quote)"),
            (("w", "live", "7", "9", "en", "a=1", 'b="2"'), prefix + "name=value (double quote)"),
        ]
        with self.client() as c:
            for n, (params, text) in enumerate(cases):
                with self.subTest(params=params):
                    sid = self.session + n
                    c.send(fc.CMD_RUN_IVL, sid, params[0], params[1], "", *params[2:])
                    self.assertEqual(c.read().tuple(), (fc.ERR_PARAMCOUNT, sid, text))
                    self.assertTrue(c.expect_silence(0.3), "a refused command started a session")
        self.assertFalse(os.path.exists(os.path.join(INSTALL, "ivlrecorder.log")))
        self.assertFalse(os.path.exists(os.path.join(INSTALL, "DirectX", "dxsetup.log")))

    def test_missing_directx_runs_the_setup(self):
        dx = windows_path(os.path.join(INSTALL, "DirectX"))
        # setup exit code -> the end of the session's messages
        cases = [
            ("0", [STARTED, (fc.STATUS_FINISHED,)]),
            ("1", [(fc.ERR_FAILED, "dxsetup.exe exit code 1: Setup was successful, and a restart is required.\n")]),
            ("-21", [(fc.ERR_FAILED, "dxsetup.exe exit code -21: The cabinet (.cab) file is not signed. \n")]),
            ("-9", [(fc.ERR_FAILED, "dxsetup.exe exit code -9: An internal error occurred.\n")]),
            ("7", [(fc.ERR_FAILED, "dxsetup.exe exit code 7: Unknown error\n")]),
        ]
        hide_dll()
        for n, (code, tail) in enumerate(cases):
            with self.subTest(code=code):
                sid = self.session + n
                for name in ("ivlrecorder.log", "ivlrecorder.end", os.path.join("DirectX", "dxsetup.log")):
                    remove_file(os.path.join(INSTALL, name))
                self.set_setup(code)
                with self.client() as c:
                    c.send(fc.CMD_RUN_IVL, sid, "w", "live", "", "7", "99", "en")
                    if code == "0":
                        got = self.until(c, sid, lambda m: m == STARTED)
                        self.recorded()
                        self.end_game()
                        got += self.until(c, sid, lambda m: m[0] == fc.STATUS_SESSIONREMOVED)
                    else:
                        got = self.until(c, sid, lambda m: m[0] == fc.STATUS_SESSIONREMOVED)
                self.assert_session_messages(got, [CHECKING] + tail)
                setup = read_text(os.path.join(INSTALL, "DirectX", "dxsetup.log"))
                self.assertEqual(setup.split("\r\n")[:2], [dx + "\\dxsetup.exe /silent", dx])
                self.assertEqual(os.path.exists(os.path.join(INSTALL, "ivlrecorder.log")), code == "0")
        log = self.sync.log()
        self.assertIn("Check for %s installed: no" % MISSING_DLL, log)
        self.assertIn("Check for DX installed: no", log)
        self.assertIn("Executing %s\\dxsetup.exe /silent" % dx, log)

    def test_missing_directx_without_setup(self):
        hide_dll()
        os.remove(os.path.join(INSTALL, "DirectX", "dxsetup.exe"))
        with self.client() as c:
            c.send(fc.CMD_RUN_IVL, self.session, "w", "live", "", "7", "99", "en")
            self.assertTrue(self.dismiss_error_box().strip())
            got = self.until(c, self.session, lambda m: m[0] == fc.STATUS_SESSIONREMOVED)
        dx = windows_path(os.path.join(INSTALL, "DirectX"))
        self.assert_session_messages(got, [CHECKING, (fc.ERR_FAILED, "Failed to run: %s\\dxsetup.exe /silent\n" % dx)])
        self.assertFalse(os.path.exists(os.path.join(INSTALL, "ivlrecorder.log")))

    def test_cancel_during_the_setup_starts_no_game(self):
        hide_dll()
        self.set_setup("0 wait")
        sid = self.session
        with self.client() as c:
            c.send(fc.CMD_RUN_IVL, sid, "w", "live", "", "7", "99", "en")
            got = self.until(c, sid, lambda m: m == CHECKING)
            self.assertTrue(wait_for(lambda: os.path.exists(os.path.join(INSTALL, "DirectX", "dxsetup.log")), 30))
            c.send(fc.CMD_CANCEL, sid)
            got += self.until(c, sid, lambda m: m[0] == fc.STATUS_SESSIONREMOVED)
            # the setup ends well after the session has gone: still no game
            self.end_setup()
            self.assertTrue(c.expect_silence(1.5))
        self.assert_session_messages(got, [CHECKING, (fc.STATUS_STOPPED,)])
        self.assertFalse(os.path.exists(os.path.join(INSTALL, "ivlrecorder.log")))

    def test_busy_while_a_game_runs(self):
        sid = self.session
        with self.client() as c:
            c.send(fc.CMD_RUN_IVL, sid, "w", "live", "", "7", "99", "en")
            got = self.until(c, sid, lambda m: m == STARTED)
            self.assertEqual(c.command(fc.CMD_RUN_IVL, sid + 1, "w", "live", "", "7", "99", "en").tuple(),
                             (fc.ERR_BUSY, sid + 1, "Already running"))
            self.end_game()
            got += self.until(c, sid, lambda m: m[0] == fc.STATUS_SESSIONREMOVED)
        self.assert_session_messages(got, [CHECKING, STARTED, (fc.STATUS_FINISHED,)])


class Download(unittest.TestCase):
    """The downloads against a file server of this test's own; the distribution folder is
    ROOT/dl (ROOT/dl/... for the cases that need one of their own)."""
    sync = None
    server = None
    next_session = 300

    @classmethod
    def setUpClass(cls):
        cls.work = scratch_dir(ARGS.build, "sessions-dl")
        source = os.path.join(cls.work, "source")
        os.makedirs(os.path.join(source, "data"))
        cls.files = {"readme.txt": b"hello\r\n", "data/big.bin": os.urandom(1 << 20),
                     "data/small.bin": bytes(range(256)) * 3}
        for name, data in cls.files.items():
            with open(os.path.join(source, *name.split("/")), "wb") as f:
                f.write(data)
        # Image packs of the three formats that need a repacked companion (one of them has it)
        # and of one that needs none; without the repacker files no repack runs.
        packs = os.path.join(cls.work, "packs")
        for name in ("bmp(1)/pack.bin", "HDR(3)/pack.bin", "tga(2)/pack.bin", "tga(2)/repack.bin", "dds(1)/pack.bin"):
            os.makedirs(os.path.join(packs, "_packed", os.path.dirname(name)), exist_ok=True)
            with open(os.path.join(packs, "_packed", name), "wb") as f:
                f.write(name.encode() * 50)
        # Servers that would hold a download for minutes: a file that crawls just above the
        # low-speed floor, one whose server redirects into a black hole, a bundle that crawls.
        stuck = {}
        for name in ("crawl", "hole", "slowbundle"):
            stuck[name] = os.path.join(cls.work, name)
            os.makedirs(stuck[name])
            with open(os.path.join(stuck[name], name + ".bin"), "wb") as f:
                f.write(os.urandom(30000))
        cls.served = os.path.join(cls.work, "served")
        out = subprocess.run([sys.executable, os.path.join(TOP, "tools", "publish.py"), "--out", cls.served,
                              "--list", "game=" + source, "--list", "bundled=" + source, "--bundle", "bundled",
                              "--list", "broken=" + source, "--bundle", "broken", "--list", "packs=" + packs,
                              "--list", "crawl=" + stuck["crawl"], "--list", "hole=" + stuck["hole"],
                              "--list", "slowbundle=" + stuck["slowbundle"], "--bundle", "slowbundle",
                              "--compress", "never"],
                             check=True, stdout=subprocess.PIPE).stdout
        cls.summary = json.loads(out)
        # A second root list naming "game" only, which comes slowly: a cancel meets the
        # names being resolved.
        cls.slow_root = "slowroot.xml"
        subprocess.run([sys.executable, os.path.join(TOP, "tools", "publish.py"), "--out", cls.served, "--root",
                        cls.slow_root, "--list", "game=" + source, "--compress", "never"],
                       check=True, stdout=subprocess.DEVNULL)
        big = cls.summary["lists"]["game"]["files"]["data/big.bin"]["text"]
        # The big file trickles, so that progress is reported while it comes; the broken
        # bundle is missing, after a wait in which progress is reported too.
        broken = "/" + cls.summary["lists"]["broken"]["bundle"] + ".bz2"
        lists = cls.summary["lists"]
        cls.stuck = {"crawl": "/" + lists["crawl"]["files"]["crawl.bin"]["text"],
                     "hole": "/" + lists["hole"]["files"]["hole.bin"]["text"],
                     "slowbundle": "/" + lists["slowbundle"]["bundle"] + ".bz2"}
        # A bundle that takes seconds to come: a cancel meets it being read.
        cls.slow_bundle = cls.stuck["slowbundle"]
        # A file list, a bundle's manifest and a root list of 5,200 bytes at 50 bytes a second,
        # above the low-speed floor: each held a download for 100 s past a cancel or a close.
        crawling = {"body": "x" * 5200, "trickle": [50, 1.0]}
        cls.stuck.update({"slowlist": "/slowlist.txt", "slowmanifest": "/slowmanifest.txt",
                          "slowroot": "/slowroot2.xml"})
        manifest_root = ('<?xml version="1.0"?><uniquelists><list id="m" uniquefile="slowmanifest.txt" '
                         'uniquefilebundle="m_bundle"/></uniquelists>')
        try:
            cls.server = FileServer(cls.served, {"/slowlist.txt": crawling, "/slowmanifest.txt": crawling,
                                                 "/slowroot2.xml": crawling,
                                                 "/manifestroot.xml": {"body": manifest_root},
                                                 "/" + big: {"trickle": [65536, 0.1]},
                                                 broken: {"delay": 0.5, "status": 404},
                                                 cls.stuck["crawl"]: {"trickle": [60, 1.0]},
                                                 cls.stuck["hole"]: {"status": 302,
                                                                     "location": "http://192.0.2.1:80/x"},
                                                 cls.stuck["slowbundle"]: {"trickle": [60, 1.0]},
                                                 "/" + cls.slow_root: {"trickle": [16, 0.2]}})
        except RuntimeError:
            cls.tearDownClass()
            raise
        cls.url = cls.server.name
        # What starts each stuck download: the command and its parameters after the
        # distribution and the installed version.
        def named(root, names):
            return fc.CMD_DOWNLOADNAMED, [root, names, "w", "false", cls.url]
        cls.stuck_start = {name: (fc.CMD_DOWNLOAD, [lists[name]["uniquefile"], "false", cls.url])
                           for name in ("crawl", "hole")}
        cls.stuck_start.update({"slowbundle": named(cls.summary["root"], "set:slowbundle"),
                                "slowlist": (fc.CMD_DOWNLOAD, ["slowlist.txt", "false", cls.url]),
                                "slowmanifest": named("manifestroot.xml", "set:m"),
                                "slowroot": named("slowroot2.xml", "set:game")})
        cls.sync = Sync()

    @classmethod
    def tearDownClass(cls):
        if cls.sync:
            cls.sync.close()
        if cls.server:
            cls.server.stop()
        remove_dir(cls.work)

    def setUp(self):
        self.session = Download.next_session
        Download.next_session += 20

    def client(self):
        return fc.FlashClient(HOST, fc.COMMAND_PORT, timeout=60)

    def collect(self, c, sid):
        got = []
        while not got or got[-1][0] != fc.STATUS_SESSIONREMOVED:
            m = c.read()
            if m.session == sid:
                got.append((m.code, *m.params))
        self.assertTrue(c.expect_silence(0.5), "messages after the removal")
        return got

    def assert_installed(self, folder):
        for name, data in self.files.items():
            with open(os.path.join(folder, *name.split("/")), "rb") as f:
                self.assertEqual(f.read(), data, name)

    def assert_progress_then_end(self, got, end):
        self.assertIn((fc.ERR_OK,), got)
        rest = [m for m in got if m != (fc.ERR_OK,)]
        self.assertEqual(rest[-2:], [end, (fc.STATUS_SESSIONREMOVED,)])
        for m in rest[:-2]:
            self.assertEqual(m[0], fc.STATUS_PROGRESS, got)
            self.assertEqual(len(m), 3, m)
            self.assertRegex(m[1], r"^[01]\.\d{3}$")
            self.assertRegex(m[2], r"^\d+\.\d\d/\d+\.\d\d MB$")
        return rest[:-2]

    def test_download_reports_progress_and_finishes(self):
        folder = os.path.join(ROOT, "dl", "plain")
        # an installed copy: its long-named file goes before the download starts
        os.makedirs(folder)
        # the path is the folder, a separator and the name: 193 name characters go over the
        # folder's length + 193, 192 do not
        long_name = os.path.join(folder, "y" * 193)
        short_name = os.path.join(folder, "y" * 192)
        for name in (long_name, short_name):
            open(name, "w").close()
        with self.client() as c:
            c.send(fc.CMD_DOWNLOAD, self.session, "dl\\plain", "", self.summary["lists"]["game"]["uniquefile"],
                   "false", self.url)
            got = self.collect(c, self.session)
        progress = self.assert_progress_then_end(got, (fc.STATUS_FINISHED,))
        self.assertTrue(progress, "no progress while the big file trickled")
        fractions = [float(m[1]) for m in progress]
        self.assertEqual(fractions, sorted(fractions))
        self.assert_installed(folder)
        self.assertTrue(os.path.exists(os.path.join(folder, "longfilesscanned1.txt")))
        self.assertFalse(os.path.exists(long_name))
        self.assertTrue(os.path.exists(short_name))
        self.assertIn("Deleting 1 files with long names", self.sync.log())

    def test_cancel_gives_stopped_and_never_finished(self):
        with self.client() as c:
            c.send(fc.CMD_DOWNLOAD, self.session, "dl\\cancel", "", self.summary["lists"]["game"]["uniquefile"],
                   "false", self.url)
            got = []
            while not any(m[0] == fc.STATUS_PROGRESS for m in got):
                m = c.read()
                if m.session == self.session:
                    got.append((m.code, *m.params))
            c.send(fc.CMD_CANCEL, self.session)
            got += self.collect(c, self.session)
        self.assert_progress_then_end(got, (fc.STATUS_STOPPED,))
        self.assertNotIn((fc.STATUS_FINISHED,), got)

    def start_stuck(self, c, sid, name, folder):
        """A download of that stuck list into dl\\folder, once its server is holding it."""
        before = self.served_requests().get(self.stuck[name], 0)
        code, params = self.stuck_start[name]
        c.send(code, sid, "dl\\" + folder, "", *params)
        self.assertTrue(wait_for(lambda: self.served_requests().get(self.stuck[name], 0) > before, 60),
                        self.served_requests())

    def test_cancel_ends_a_stuck_download_soon(self):
        """A body crawling just above the floor (30,000 bytes at 60 B/s), a redirect into a black
        hole, a crawling bundle, and a crawling file list, manifest and root list: each held a
        session for minutes past its cancel."""
        for n, name in enumerate(("crawl", "hole", "slowbundle", "slowlist", "slowmanifest", "slowroot")):
            with self.subTest(name):
                sid = self.session + n
                with self.client() as c:
                    self.start_stuck(c, sid, name, "stuck-" + name)
                    c.send(fc.CMD_CANCEL, sid)
                    start = time.monotonic()
                    got = self.collect(c, sid)
                    self.assertLess(time.monotonic() - start, 10, got)
                self.assertEqual(got[-2:], [(fc.STATUS_STOPPED,), (fc.STATUS_SESSIONREMOVED,)], got)
                folder = os.path.join(ROOT, "dl", "stuck-" + name)
                self.assertFalse(os.path.exists(os.path.join(folder, name + ".bin")))
                # The state stays whole: nothing recorded that is not on disk, no journal left.
                state = read_text(os.path.join(folder, "synccache", "currentfiles.txt"))
                self.assertNotIn(name + ".bin", state or "")
                self.assertFalse(os.path.exists(os.path.join(folder, "synccache", "currentfiles.txt.journal")))

    def test_close_during_a_stuck_download_ends_the_program(self):
        for n, name in enumerate(("crawl", "slowlist", "slowroot")):
            with self.subTest(name):
                try:
                    with self.client() as c:
                        self.start_stuck(c, self.session + 2 * n, name, "close-" + name)
                        c.send(fc.CMD_CLOSE, self.session + 2 * n + 1)
                        start = time.monotonic()
                        try:
                            self.sync.proc.wait(20)
                        except subprocess.TimeoutExpired:
                            self.fail("ivlsync still runs 20 s after the close command")
                    self.assertLess(time.monotonic() - start, 20)
                finally:
                    Download.sync.kill()
                    Download.sync = Sync()

    def test_failed_run_names_the_log(self):
        with self.client() as c:
            c.send(fc.CMD_DOWNLOAD, self.session, "dl\\failed", "", "no-such-list.txt", "false", self.url)
            got = self.collect(c, self.session)
        self.assertIn((fc.ERR_OK,), got)
        log = windows_path(os.path.join(self.sync.folder, "ivlsync.log"))
        self.assertEqual(got[-2:], [(fc.ERR_FAILED, "Download failed. For details, please see " + log),
                                    (fc.STATUS_SESSIONREMOVED,)])
        self.assertNotIn((fc.STATUS_FINISHED,), got)

    def test_distribution_outside_the_root_is_refused(self):
        """Outside the root, in the state folder of another distribution, or a device."""
        outside = os.path.join(PRIVATE, "outside")
        os.makedirs(outside, exist_ok=True)
        long_name = os.path.join(outside, "x" * 240)
        open(long_name, "w").close()
        nest_cache = os.path.join(ROOT, "dl", "nest", "synccache")
        os.makedirs(nest_cache, exist_ok=True)
        with open(os.path.join(nest_cache, "currentfiles.txt"), "wb") as f:
            f.write(b'"ok.txt",ab-1,0,1,1\r\n')
        # (code, params before the distribution check) for both commands
        lists = self.summary["lists"]["game"]["uniquefile"]
        cases = []
        for dist in ("..", "..\\outside", "dl\\..\\..\\outside", windows_path(outside), "\\outside",
                     "dl\\nest\\synccache", "dl\\nest\\SyncCache.", "NUL", "dl\\COM1", "dl\\LPT1\\x", "dl\\AUX"):
            cases.append((fc.CMD_DOWNLOAD, [dist, "", lists, "false", self.url]))
            cases.append((fc.CMD_DOWNLOADNAMED, [dist, "", "uniquelist.xml", lists, "w", "false", self.url]))
        names = {fc.CMD_DOWNLOAD: "CMD_DOWNLOAD", fc.CMD_DOWNLOADNAMED: "CMD_DOWNLOADNAMED"}
        with self.client() as c:
            for n, (code, params) in enumerate(cases):
                with self.subTest(code=code, distribution=params[0]):
                    sid = self.session + n
                    self.assertEqual(c.command(code, sid, *params).tuple(),
                                     (fc.ERR_PARAMCOUNT, sid, "%s: invalid parameter for distribution "
                                      "(not a folder under the install root)" % names[code]))
                    self.assertTrue(c.expect_silence(0.3))
        # nothing was cleaned up or written there
        self.assertTrue(os.path.exists(long_name))
        self.assertEqual(os.listdir(outside), ["x" * 240])
        self.assertEqual(os.listdir(nest_cache), ["currentfiles.txt"])
        self.assertEqual(read_text(os.path.join(nest_cache, "currentfiles.txt")), '"ok.txt",ab-1,0,1,1\r\n')

    def test_named_download(self):
        game = self.summary["lists"]["game"]["uniquefile"]
        root = self.summary["root"]
        # (distribution, names) -> end reply, whether progress must come before it (the end
        # reply of a failure too is sent only once the progress reports have stopped)
        cases = [
            ("dl\\named1", game, (fc.STATUS_FINISHED,), True),
            ("dl\\named2", "set:game", (fc.STATUS_FINISHED,), True),
            ("dl\\named3", "set:bundled", (fc.STATUS_FINISHED,), False),
            ("dl\\named4", "set:nope", (fc.ERR_FAILED, "GetListUniqueName for nope failed"), False),
            ("dl\\named5", "set:broken", (fc.ERR_FAILED, "Bundle download failed"), True),
            # a list named as it is beside one looked up in the root list
            ("dl\\named6", game + ",set:bundled", (fc.STATUS_FINISHED,), False),
            ("dl\\named7", "set:nope," + game, (fc.ERR_FAILED, "GetListUniqueName for nope failed"), False),
        ]
        for n, (dist, names, end, reports) in enumerate(cases):
            with self.subTest(names=names):
                sid = self.session + n
                with self.client() as c:
                    c.send(fc.CMD_DOWNLOADNAMED, sid, dist, "", root, names, "w", "false", self.url)
                    got = self.collect(c, sid)
                progress = self.assert_progress_then_end(got, end)
                if reports:
                    self.assertTrue(progress, "no progress before the end")
                if end == (fc.STATUS_FINISHED,):
                    self.assert_installed(os.path.join(ROOT, *dist.split("\\")))
        self.assertIn("GetListUniqueName(nope) failed: ", self.sync.log())

    def test_cancel_while_names_are_resolved_or_a_bundle_is_read(self):
        # (root list, names, the request under way when the cancel comes)
        cases = [
            (self.slow_root, "set:game", "/" + self.slow_root),
            (self.summary["root"], "set:slowbundle", self.slow_bundle),
        ]
        for n, (root, names, slow) in enumerate(cases):
            with self.subTest(names=names):
                sid = self.session + n
                with self.client() as c:
                    c.send(fc.CMD_DOWNLOADNAMED, sid, "dl\\cancelnamed%d" % n, "", root, names, "w", "false",
                           self.url)
                    self.assertTrue(wait_for(lambda: slow in self.served_requests(), 30), "no fetch of " + slow)
                    c.send(fc.CMD_CANCEL, sid)
                    got = self.collect(c, sid)
                self.assert_progress_then_end(got, (fc.STATUS_STOPPED,))
                self.assertNotIn((fc.STATUS_FINISHED,), got)

    def served_requests(self):
        return self.server.stats()["requests"]

    def test_verify_drops_what_changed_and_the_next_download_fetches_only_that(self):
        dist = "dl\\verify"
        folder = os.path.join(ROOT, "dl", "verify")
        lists = self.summary["lists"]["game"]
        with self.client() as c:
            c.send(fc.CMD_DOWNLOAD, self.session, dist, "", lists["uniquefile"], "false", self.url)
            self.assertEqual(self.collect(c, self.session)[-2:], [(fc.STATUS_FINISHED,), (fc.STATUS_SESSIONREMOVED,)])
        state_path = os.path.join(folder, "synccache", "currentfiles.txt")
        with open(state_path, "rb") as f:
            state = f.read()
        with open(os.path.join(folder, "data", "small.bin"), "r+b") as f:
            f.write(b"\xff")  # one changed byte
        os.remove(os.path.join(folder, "readme.txt"))

        with self.client() as c:
            c.send(fc.CMD_VERIFY, self.session + 1, dist, "live")
            got = self.collect(c, self.session + 1)
        self.assertEqual(got[0], (fc.ERR_OK,))
        self.assertEqual(got[-1], (fc.STATUS_SESSIONREMOVED,))
        self.assertEqual(got[-2][0], fc.ERR_FAILED, got)
        self.assertEqual([m[1:] for m in got[1:-2]], [("0.333", "1/3"), ("0.667", "2/3"), ("1.000", "3/3")])
        with open(state_path, "rb") as f:
            after = f.read()
        kept = [line for line in state.split(b"\r\n") if line and b'"data/big.bin"' in line]
        self.assertEqual(after, kept[0] + b"\r\n")
        log = self.sync.log()
        self.assertIn("data/small.bin failed (checksum error)", log)
        self.assertIn("readme.txt failed (Couldn't read file)", log)

        urllib.request.urlopen("http://%s/_stats/reset" % self.url, timeout=10).read()
        with self.client() as c:
            c.send(fc.CMD_DOWNLOAD, self.session + 2, dist, "", lists["uniquefile"], "false", self.url)
            self.assertEqual(self.collect(c, self.session + 2)[-2:], [(fc.STATUS_FINISHED,), (fc.STATUS_SESSIONREMOVED,)])
        blobs = {"/" + lists["files"][name]["text"] for name in ("data/small.bin", "readme.txt")}
        # the file list may come again; of the files, exactly the two that failed
        self.assertEqual(set(self.served_requests()) - {"/" + lists["uniquefile"]}, blobs)
        self.assert_installed(folder)
        with open(state_path, "rb") as f:
            self.assertEqual(f.read(), state)

        with self.client() as c:
            c.send(fc.CMD_VERIFY, self.session + 3, dist, "live")
            self.assertEqual(self.collect(c, self.session + 3)[-2:], [(fc.STATUS_FINISHED,), (fc.STATUS_SESSIONREMOVED,)])

    def install(self, name, list_id):
        """Downloads the list into ROOT/dl/name with session self.session; (the folder, the path
        of its installed state, that state)."""
        folder = os.path.join(ROOT, "dl", name)
        with self.client() as c:
            c.send(fc.CMD_DOWNLOAD, self.session, "dl\\" + name, "", self.summary["lists"][list_id]["uniquefile"],
                   "false", self.url)
            self.assertEqual(self.collect(c, self.session)[-2:], [(fc.STATUS_FINISHED,), (fc.STATUS_SESSIONREMOVED,)])
        state_path = os.path.join(folder, "synccache", "currentfiles.txt")
        with open(state_path, "rb") as f:
            return folder, state_path, f.read()

    def test_verify_finds_packs_without_their_companion(self):
        dist = "dl\\packs"
        _, state_path, state = self.install("packs", "packs")
        with self.client() as c:
            c.send(fc.CMD_VERIFY, self.session + 1, dist, "live")
            got = self.collect(c, self.session + 1)
        self.assertEqual(got[-2][0], fc.ERR_FAILED, got)
        log = self.sync.log()
        self.assertIn("Verifying 5 files. This may take a while...\r\n", log)
        failing = ["_packed/HDR(3)/pack.bin", "_packed/bmp(1)/pack.bin"]
        for name in failing:
            self.assertIn(name + " failed (repack.bin doesn't exist)\r\n", log)
        self.assertIn("5 files checked. 2 of them failed\r\n", log)
        with open(state_path, "rb") as f:
            after = f.read()
        kept = [line for line in state.split(b"\r\n") if line and not any(line.startswith(b'"%s"' % n.encode())
                                                                        for n in failing)]
        self.assertEqual(len(kept), 3)
        self.assertEqual(after, b"".join(line + b"\r\n" for line in kept))

    def test_cancelled_verify_ends_with_stopped_and_removal(self):
        """The verification is held in its first log line: the program opens its log anew for
        every line, and here the log is a FIFO whose pipe this test keeps full until the cancel
        has been answered."""
        folder, state_path, state = self.install("vcancel", "game")
        for name in self.files:
            with open(os.path.join(folder, *name.split("/")), "r+b") as f:
                f.write(b"\xfe")  # a check that ran would drop every record
        sid = self.session + 1
        accepted = "Accepted connection on flash-connection port"
        connections = self.sync.log().count(accepted)
        with self.client() as c:
            # the connection's own line is written before the hold, or its commands would wait
            self.assertTrue(wait_for(lambda: self.sync.log().count(accepted) > connections, 30))
            with LogHold(os.path.join(self.sync.folder, "ivlsync.log")) as hold:
                c.send(fc.CMD_VERIFY, sid, "dl\\vcancel", "live")
                got = [c.read().tuple()]
                c.send(fc.CMD_CANCEL, sid)
                got.append(c.read().tuple())
                hold.release()
                got += [(m[0], sid) + m[1:] for m in self.collect(c, sid)]
                self.assertTrue(wait_for(lambda: "Verification canceled\r\n" in hold.text(), 30), hold.text())
                lines = hold.text()
        # nothing after the removal: collect() listened for that
        self.assertEqual(got, [(fc.ERR_OK, sid), (fc.STATUS_STOPPED, sid), (fc.STATUS_SESSIONREMOVED, sid)])
        self.assertEqual(lines.splitlines(), ["Loading file list...", "Checking directory %s\\" % windows_path(folder),
                                              "Verifying 3 files. This may take a while...", "Verification canceled"])
        with open(state_path, "rb") as f:
            self.assertEqual(f.read(), state)

    def read_until(self, c, got, sid, code=fc.STATUS_SESSIONREMOVED):
        """Reads until session sid sends a message with that code (by default its removal);
        each session's messages go to got[session]."""
        while not got.get(sid) or got[sid][-1][0] != code:
            m = c.read()
            got.setdefault(m.session, []).append((m.code, *m.params))

    def test_verify_and_the_folder_lock_of_a_download(self):
        """A verify of a folder whose download runs is refused with the clear reply, and the
        download goes on to its end. A verify sent the moment a download ends (on its end
        reply, or on its removal as the front end does) is accepted: the lock is let go
        before the end reply."""
        dist = "dl\\locked"
        lists = self.summary["lists"]["game"]["uniquefile"]
        sid, verify = self.session, self.session + 1
        with self.client() as c:
            c.send(fc.CMD_DOWNLOAD, sid, dist, "", lists, "false", self.url)
            got = {}
            self.read_until(c, got, sid, fc.STATUS_PROGRESS)
            c.send(fc.CMD_VERIFY, verify, dist, "live")
            self.read_until(c, got, verify)
            self.assertNotEqual(got[sid][-1][0], fc.STATUS_SESSIONREMOVED, "the download ended too soon")
            self.assertEqual(got[verify], [(fc.ERR_OK,), (fc.ERR_FAILED, "Another download or verification of "
                                                          "this folder is running"), (fc.STATUS_SESSIONREMOVED,)])
            self.read_until(c, got, sid)
        self.assert_progress_then_end(got[sid], (fc.STATUS_FINISHED,))
        self.assert_installed(os.path.join(ROOT, "dl", "locked"))

        for n, moment in enumerate((fc.STATUS_FINISHED, fc.STATUS_SESSIONREMOVED)):
            with self.subTest(moment=moment):
                sid, verify = self.session + 2 + 2 * n, self.session + 3 + 2 * n
                # a whole installation again, as in the front end's flow
                remove_dir(os.path.join(ROOT, "dl", "locked"))
                got = {}
                with self.client() as c:
                    c.send(fc.CMD_DOWNLOAD, sid, dist, "", lists, "false", self.url)
                    self.read_until(c, got, sid, moment)
                    c.send(fc.CMD_VERIFY, verify, dist, "live")
                    self.read_until(c, got, sid)
                    self.read_until(c, got, verify)
                self.assertEqual(got[sid][-2:], [(fc.STATUS_FINISHED,), (fc.STATUS_SESSIONREMOVED,)])
                self.assertEqual(got[verify][0], (fc.ERR_OK,))
                self.assertEqual(got[verify][-2:], [(fc.STATUS_FINISHED,), (fc.STATUS_SESSIONREMOVED,)], got[verify])

    def test_verify_without_installed_state(self):
        with self.client() as c:
            c.send(fc.CMD_VERIFY, self.session, "dl\\never-installed", "live")
            self.assertEqual(self.collect(c, self.session),
                             [(fc.ERR_OK,), (fc.ERR_FAILED, "Couldnt read currentfiles.txt"),
                              (fc.STATUS_SESSIONREMOVED,)])


class Elevation(unittest.TestCase):
    """A download into a folder that cannot be written: reply 9 and the elevated relaunch. The
    folder is made immutable (root writes everywhere else); Wine counts as elevated already, so
    the relaunch starts at once."""

    def test_unwritable_install_folder(self):
        folder = os.path.join(ROOT, "ro")
        os.makedirs(folder)
        if subprocess.run(["chattr", "+i", folder], stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("no immutable folders on this file system")
        sync = Sync()
        try:
            with fc.FlashClient(HOST, fc.COMMAND_PORT, timeout=30) as c:
                self.assertEqual(c.command(fc.CMD_DOWNLOAD, 91, "ro", "", "x.txt", "false", "127.0.0.1:9").tuple(),
                                 (fc.ERR_ELEVATING, 91, "Couldn't start download"))
                self.assertTrue(c.expect_silence(0.5) or c.closed, "a session started")
            self.assertEqual(sync.proc.wait(30), 0)
            self.assertIn("WriteAccess denied; elevating", sync.log())
            self.assertTrue(wait_for(lambda: relaunched(), 30), "no relaunch with -e")
        finally:
            for pid in relaunched():
                os.kill(pid, signal.SIGKILL)
            subprocess.run(["chattr", "-i", folder])
            sync.kill()
        self.assertEqual(os.listdir(folder), [])

    def test_update_mode_with_an_unwritable_install_folder(self):
        # The settings name that folder; no job starts, the relaunch is asked for instead.
        folder = os.path.join(ROOT, "ro-update")
        os.makedirs(folder)
        if subprocess.run(["chattr", "+i", folder], stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("no immutable folders on this file system")
        work = scratch_dir(ARGS.build, "sessions-update")
        served = os.path.join(work, "served")
        os.makedirs(served)
        shutil.copytree(os.path.join(os.path.dirname(ARGS.exe), "locale"), os.path.join(work, "locale"))
        server = FileServer(served)
        with open(os.path.join(served, "settings.js"), "w") as f:
            f.write('unique_file_servers="%s"\ndistribution="ro-update"\nvostxdistribution=""\n'
                    'uniqueversionfilename="root.xml"\n' % server.name)
        proc = subprocess.Popen(wine_command(PRIVATE, ARGS.exe, "/a", "/l", "en", "/rs", server.name), cwd=work,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        try:
            proc.wait(60)
            log = read_text(os.path.join(work, "ivlsync.log")) or ""
            self.assertIn("No write access to the install folder; asking for administrator rights", log)
            self.assertTrue(wait_for(lambda: relaunched(), 30), "no relaunch with -e")
            # the settings and nothing else (the request path carries a second '/')
            self.assertEqual([p.lstrip("/") for p in server.stats()["requests"]], ["settings.js"])
        finally:
            for pid in relaunched():
                os.kill(pid, signal.SIGKILL)
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            server.stop()
            subprocess.run(["chattr", "-i", folder])
            remove_dir(work)
        self.assertEqual(os.listdir(folder), [])


def relaunched():
    """Processes of the private prefix that run ivlsync.exe with "-e"."""
    found = []
    for pid in host_pids():
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                args = f.read().decode("latin-1").split("\0")
            if any(a.endswith("ivlsync.exe") for a in args) and "-e" in args and in_prefix(pid, PRIVATE):
                found.append(pid)
        except OSError:
            continue
    return found


class LogHold:
    """Puts a FIFO in the place of a log file that its writer opens for every line, with the pipe
    full: each writer waits in its next line until release(). The FIFO stays open here for
    reading and writing, so no open of it ever waits for the other end. On leaving, the log file
    comes back with what was written meanwhile appended."""
    FILL = b"\0" * 4096  # NULs, which no log line holds

    def __init__(self, path):
        self.path = path
        self.saved = path + ".held"
        self.got = b""

    def __enter__(self):
        os.replace(self.path, self.saved)
        os.mkfifo(self.path)
        self.fd = os.open(self.path, os.O_RDWR | os.O_NONBLOCK)
        try:
            while True:
                os.write(self.fd, self.FILL)
        except BlockingIOError:
            pass
        return self

    def _drain(self):
        try:
            while True:
                self.got += os.read(self.fd, 65536)
        except BlockingIOError:
            pass

    def release(self):
        self._drain()

    def text(self):
        self._drain()
        return self.got.replace(b"\0", b"").decode("latin-1")

    def __exit__(self, *exc):
        os.replace(self.saved, self.path)
        text = self.text()  # also lets go a writer that still waits
        os.close(self.fd)
        with open(self.path, "ab") as f:
            f.write(text.encode("latin-1"))


def remove_file(path):
    with contextlib.suppress(FileNotFoundError):
        os.remove(path)


def dll_path():
    return os.path.join(PRIVATE, "wineprefix", "drive_c", "windows", "system32", MISSING_DLL)


def hide_dll():
    os.replace(dll_path(), dll_path() + ".hidden")


def restore_dll():
    if os.path.exists(dll_path() + ".hidden"):
        os.replace(dll_path() + ".hidden", dll_path())


def main():
    global ARGS, PRIVATE, ROOT, INSTALL
    ARGS, rest = driver_args("exe", "recorder", "dxsetup", "probe")
    # The program's ports are fixed: the run goes into a namespace of its own (network, /tmp,
    # processes), where the private prefix's services start; else it holds the ports' lock.
    run_isolated(ARGS.build)
    PRIVATE = scratch_dir(ARGS.build, "sessions-prefix")
    ROOT = os.path.join(PRIVATE, "root")
    INSTALL = os.path.join(ROOT, "live")
    os.makedirs(INSTALL)
    shutil.copy(os.path.join(ARGS.build, "wine-arch"), os.path.join(PRIVATE, "wine-arch"))
    try:
        private_run("start", timeout=300)
        private_run("reg", "add", "HKLM\\Software\\Vost-Parn\\Ironvale", "/ve", "/d", windows_path(ROOT), "/f")
        if not os.path.exists(dll_path()):
            print("no %s in the prefix" % dll_path(), file=sys.stderr)
            return 1
        prog = unittest.main(argv=[sys.argv[0], "-v"] + rest, exit=False)
        return 0 if prog.result.wasSuccessful() else 1
    finally:
        subprocess.run(wine_command(PRIVATE, "stop"))
        remove_dir(PRIVATE)


if __name__ == "__main__":
    sys.exit(main())
