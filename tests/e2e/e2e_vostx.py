#!/usr/bin/env python3
"""End to end: the plug-in's install sequence under Wine, through vostxcorehost (the core with
a page that records its calls), against tools/fileserver.py serving a published "VostX_Depends"
distribution that holds the real ivlsync.exe and its language file.

The sync program's ports (50009/50010) are fixed, and other build trees on this machine run
their copies on them: the script runs itself under tools/netns-run, so the close commands of the
sequence and of the test reach only this run's programs. In private namespaces it uses the
tree's prefix, which is the run's own overlay there; under the machine-wide port lock (no
namespaces) it makes a prefix of its own, removed at the end. The install root is written to
the prefix's registry. Every ivlsync.exe the sequence starts is closed by the test (its close
command, else by pid).

    e2e_vostx.py --build BUILD --host vostxcorehost.exe --holder mutexholder.exe
                         --ivlsync ivlsync.exe [unittest arguments]
"""
import getpass
import hashlib
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "lib"))
sys.path.insert(0, os.path.join(TOP, "tools"))
import flashclient as fc  # noqa: E402
from fileservers import FileServer  # noqa: E402
from winetest import (driver_args, host_pids, in_prefix, run_isolated, run_tests_with_services, wait_for,  # noqa: E402
                      windows_path, wine_command)

BUILD = HOST = HOLDER = IVLSYNC = NPHOST = DLL = AXHOST = None  # BUILD: the private tree that holds the prefix
VERSION = "vostxe2e"
INSTALL_KEY = "HKLM\\Software\\Vost-Parn\\Ironvale " + VERSION
ROOT_LIST = "roots.xml"
TABLE = "vostx-depends.txt"
PROGRESS = [0.0, 0.1, 0.2, 1.0]
LOG_LINE = re.compile(r"^(Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d \d{4}Z .*$")
CLOSE_TEXT = b"2001;1443355140\0"


def wine(*args, timeout=120):
    return subprocess.run(wine_command(BUILD, *args), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          stdin=subprocess.DEVNULL, timeout=timeout).returncode


def unix_path(path):
    """The host path of a Windows path of the prefix (C: drive or Z: drive)."""
    drive, rest = path[:2].upper(), path[2:].replace("\\", "/")
    if drive == "Z:":
        return rest
    assert drive == "C:", path
    return os.path.join(BUILD, "wineprefix", "drive_c") + rest


def ivl_folder():
    """The host path of "IVL" in the prefix user's temporary folder."""
    return os.path.join(BUILD, "wineprefix", "drive_c", "users", getpass.getuser(), "Temp", "IVL")


def checksum_text(data):
    return "%s-%d" % (hashlib.sha256(data).hexdigest(), len(data))


def table_text(files):
    """The file-table text of {relative name: bytes}, names relative to the record before."""
    lines = []
    base = []
    for name in sorted(files):
        pieces = name.split("/")
        folder = pieces[:-1]
        common = 0
        while common < min(len(base), len(folder)) and base[common] == folder[common]:
            common += 1
        rel = "../" * (len(base) - common) + "/".join(pieces[common:])
        lines.append('"%s",%s,%d,0,0\r\n' % (rel, checksum_text(files[name]), len(files[name])))
        base = folder
    return "".join(lines)


def root_list(table=TABLE, list_id="VostX_Depends"):
    return ('<?xml version="1.0"?>\n<uniquelists>\n  <list id="Other" uniquefile="other.txt"/>\n'
            '  <list id="%s" uniquefile="%s"/>\n</uniquelists>\n' % (list_id, table))


def sync_processes():
    """(pid, argv) of the ivlsync.exe processes of this build's prefix."""
    found = []
    for pid in host_pids():
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                argv = [a.decode("utf-8", "replace") for a in f.read().split(b"\0") if a]
            if argv and argv[0].lower().endswith("ivlsync.exe") and in_prefix(pid, BUILD):
                found.append((pid, argv))
        except OSError:
            pass
    return found


def listening(port):
    want = "0100007F:%04X" % port
    with open("/proc/net/tcp") as f:
        return any(line.split()[1] == want and line.split()[3] == "0A" for line in f.readlines()[1:])


def close_sync(timeout=30):
    """Ends every ivlsync.exe of the prefix: the close command first, then by pid."""
    procs = sync_processes()
    if not procs:
        return
    try:
        with fc.FlashClient("127.0.0.1", fc.COMMAND_PORT) as c:
            c.send(fc.CMD_CLOSE, 5)
    except OSError:
        pass
    if not wait_for(lambda: not sync_processes(), timeout):
        for pid, _ in sync_processes():
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        wait_for(lambda: not sync_processes(), 10)


class Calls:
    def __init__(self, text):
        self.workdir = None
        self.progress = []
        self.errors = []
        self.threads = set()
        self.initialized = None
        for line in text.splitlines():
            kind, _, rest = line.partition(" ")
            if kind == "workdir":
                self.workdir = rest
            elif kind == "progress":
                method, text_, value, flash_id, thread, data = rest.split("|")
                assert method == "VostxProgress" and text_ == "initializing" and flash_id == "flashObj", line
                self.progress.append(round(float(value), 6))
                self.threads.add((thread, data))
            elif kind == "error":
                method, text_, flash_id, thread, data = rest.split("|")
                assert method == "VostxError" and flash_id == "flashObj", line
                self.errors.append(text_)
                self.threads.add((thread, data))
            elif kind == "initialized":
                self.initialized = rest == "1"


class ServedDistribution(unittest.TestCase):
    """The file server with the published distribution, the install root in the registry."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="e2e_vostx_", dir=os.path.join(BUILD))
        os.chmod(cls.tmp, 0o755)
        cls.serve = os.path.join(cls.tmp, "serve")
        cls.install_root = os.path.join(cls.tmp, "install")
        os.makedirs(cls.serve)
        cls.dist = "vostxe2e%d" % os.getpid()
        os.makedirs(os.path.join(cls.install_root, cls.dist))
        with open(IVLSYNC, "rb") as f:
            exe = f.read()
        with open(os.path.join(os.path.dirname(IVLSYNC), "locale", "ivlsync_en.xml"), "rb") as f:
            lang = f.read()
        cls.files = {"ivlsync.exe": exe, "locale/ivlsync_en.xml": lang}
        cls.publish(cls.files)
        cls.write(ROOT_LIST, root_list())
        # The file table under a second name that arrives late, and a redirect into a black hole.
        cls.server = FileServer(cls.serve, {"/slow-table.txt": {"delay": 4, "file": TABLE},
                                            "/hole-roots.xml": {"status": 302, "location": "http://192.0.2.1:80/x"}})
        cls.port = cls.server.port
        cls.write("roots-slow.xml", root_list(table="slow-table.txt"))
        wine("reg", "delete", INSTALL_KEY, "/f")
        assert wine("reg", "add", INSTALL_KEY, "/ve", "/d", windows_path(cls.install_root), "/f") == 0
        cls.workdirs = set()

    @classmethod
    def tearDownClass(cls):
        close_sync()
        cls.server.stop()
        wine("reg", "delete", INSTALL_KEY, "/f")
        for workdir in cls.workdirs:
            shutil.rmtree(unix_path(workdir), ignore_errors=True)
        shutil.rmtree(os.path.join(ivl_folder(), cls.dist), ignore_errors=True)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    @classmethod
    def write(cls, name, data):
        path = os.path.join(cls.serve, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data.encode() if isinstance(data, str) else data)

    @classmethod
    def publish(cls, files):
        """tools/publish.py's distribution of the files; its list is also served as TABLE, the
        name the cached root list keeps pointing at."""
        folder = tempfile.mkdtemp(dir=cls.tmp)
        for name, data in files.items():
            path = os.path.join(folder, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        subprocess.run([sys.executable, os.path.join(TOP, "tools", "publish.py"), "--out", cls.serve,
                        "--list", "VostX_Depends=" + folder, "--root", "published.xml", "--compress", "never"],
                       check=True, stdout=subprocess.DEVNULL)
        shutil.rmtree(folder)
        with open(os.path.join(cls.serve, "published.xml")) as f:
            table = re.search(r'id="VostX_Depends" uniquefile="([^"]+)"', f.read()).group(1)
        shutil.copy(os.path.join(cls.serve, table), os.path.join(cls.serve, TABLE))

    def stats(self):
        return {path: n for path, n in self.server.stats()["requests"].items() if not path.startswith("/_stats")}

    def reset_stats(self):
        self.server.reset()

    def run_host(self, dist=None, version=VERSION, language="en", root=ROOT_LIST, calls=None, servers=None):
        dist = dist or self.dist
        servers = servers or ["127.0.0.1:1", "127.0.0.1:%d" % self.port]
        args = ([] if calls is None else ["--calls", str(calls)]) + [dist, version, language] + servers + \
            [root, "flashObj"]
        # A file, not a pipe: the sync program that the host starts inherits the handle and
        # would hold a pipe open.
        out_path = os.path.join(self.tmp, "host.out")
        with open(out_path, "wb") as out_file:
            p = subprocess.run(wine_command(BUILD, HOST, *args), stdout=out_file, stderr=subprocess.STDOUT,
                               stdin=subprocess.DEVNULL, timeout=180)
        with open(out_path, "rb") as f:
            out = f.read().decode("latin-1")
        self.assertEqual(0, p.returncode, out)
        calls_ = Calls(out)
        if calls_.workdir:
            self.workdirs.add(calls_.workdir)
        self.assertEqual({("Vostx_init", "data")}, calls_.threads or {("Vostx_init", "data")}, out)
        return calls_

    def work(self, name=""):
        return os.path.join(unix_path(VostxWork.workdir), name)

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def log_lines(self):
        with open(self.work("vostx.log"), "rb") as f:
            data = f.read()
        self.assertNotIn(b"\n", data.replace(b"\r\n", b""), "every line ends with CR LF")
        return data.decode("latin-1").split("\r\n")[:-1]

    def wait_sync_ready(self, old_pids=()):
        """The one new ivlsync.exe of the prefix, once its log has appeared in the work folder."""
        self.assertTrue(wait_for(lambda: any(pid not in old_pids for pid, _ in sync_processes()), 30))
        self.assertTrue(wait_for(lambda: os.path.exists(self.work("ivlsync.log")), 30))
        self.assertTrue(wait_for(lambda: listening(fc.COMMAND_PORT), 30))
        procs = sync_processes()
        self.assertEqual(1, len(procs), procs)
        return procs[0]


class InstallSequence(ServedDistribution):
    """The core in vostxcorehost. The cases run in name order: each builds on the state the one
    before left."""

    def test_1_first_call_downloads_and_starts_the_sync_program(self):
        calls = self.run_host()
        VostxWork.workdir = calls.workdir
        self.assertEqual([], calls.errors)
        self.assertEqual(PROGRESS, calls.progress)
        self.assertTrue(calls.initialized)
        for name, data in self.files.items():
            self.assertEqual(data, self.read(self.work(name)), name)
        self.assertEqual(root_list().encode(), self.read(self.work("synccache/" + ROOT_LIST)))
        pid, argv = self.wait_sync_ready()
        self.assertEqual(["/m", "/l", "en"], argv[1:])
        self.assertTrue(argv[0].lower().endswith((calls.workdir + "\\ivlsync.exe").lower()), argv)
        requests = self.stats()
        for data in self.files.values():
            self.assertEqual(1, requests.get("/" + checksum_text(data)))
        lines = self.log_lines()
        bad = [line for line in lines if not LOG_LINE.match(line)]
        self.assertEqual([], bad)
        self.assertTrue(any(l.endswith(" GlobalInitVostX params: Dist:%s Uniquefile:%s FlashObj:flashObj"
                                       % (self.dist, ROOT_LIST)) for l in lines), lines)
        self.assertTrue(any(l.endswith(" Command (in %s): %s\\ivlsync.exe /m /l en" % (calls.workdir, calls.workdir))
                            for l in lines), lines)
        VostxWork.sync_pid = pid

    def test_2_second_call_with_everything_current_changes_nothing(self):
        self.reset_stats()
        calls = self.run_host()
        self.assertEqual([], calls.errors)
        self.assertEqual(PROGRESS, calls.progress)
        self.assertEqual([VostxWork.sync_pid], [pid for pid, _ in sync_processes()])
        requests = self.stats()
        self.assertEqual({"/" + TABLE: 1}, requests, "only the file table; the root list comes from the cache")
        lines = self.log_lines()
        self.assertFalse(any("Sending shutdown message" in l for l in lines))
        self.assertTrue(any(l.endswith(" ivlync is running") for l in lines))

    def test_3_changed_file_closes_replaces_and_restarts(self):
        files = dict(self.files)
        files["locale/ivlsync_en.xml"] = self.files["locale/ivlsync_en.xml"] + b"<!-- changed -->\n"
        self.publish(files)
        try:
            calls = self.run_host()
            self.assertEqual([], calls.errors)
            self.assertEqual(PROGRESS, calls.progress)
            self.assertTrue(wait_for(lambda: VostxWork.sync_pid not in [p for p, _ in sync_processes()], 10))
            self.assertEqual(files["locale/ivlsync_en.xml"], self.read(self.work("locale/ivlsync_en.xml")))
            pid, argv = self.wait_sync_ready((VostxWork.sync_pid,))
            self.assertNotEqual(VostxWork.sync_pid, pid)
            VostxWork.sync_pid = pid
            self.assertTrue(any("Sending shutdown message to ivlsync" in l for l in self.log_lines()))
        finally:
            self.publish(self.files)

    def test_4_current_copy_in_the_install_folder_is_copied(self):
        install = os.path.join(self.install_root, self.dist)
        os.makedirs(os.path.join(install, "locale"), exist_ok=True)
        shutil.copy(self.work("ivlsync.exe"), os.path.join(install, "ivlsync.exe"))
        files = dict(self.files)
        files["locale/ivlsync_en.xml"] = self.files["locale/ivlsync_en.xml"] + b"<!-- install copy -->\n"
        with open(os.path.join(install, "locale", "ivlsync_en.xml"), "wb") as f:
            f.write(files["locale/ivlsync_en.xml"])
        # Only the table names the changed file; the servers do not hold it, so a download
        # would fail the run.
        self.write(TABLE, table_text(files))
        self.reset_stats()
        try:
            calls = self.run_host()
            self.assertEqual([], calls.errors)
            self.assertEqual(PROGRESS, calls.progress)
            self.assertEqual(files["locale/ivlsync_en.xml"], self.read(self.work("locale/ivlsync_en.xml")))
            requests = self.stats()
            for data in files.values():
                self.assertNotIn("/" + checksum_text(data), requests, "copied, not downloaded")
            self.wait_sync_ready((VostxWork.sync_pid,))
            VostxWork.sync_pid = sync_processes()[0][0]
        finally:
            shutil.rmtree(install)
            os.makedirs(install)
            self.publish(self.files)

    def test_5_page_texts_that_would_leave_their_place_are_refused(self):
        # The language reaches the sync program's command line; the distribution names folders.
        cases = [
            ("en /a /rs 127.0.0.1:80", self.dist, "Invalid language"),
            ("en\"", self.dist, "Invalid language"),
            ("..\\en", self.dist, "Invalid language"),
            ("C:en", self.dist, "Invalid language"),
            ("en", "..\\..\\escape", "Invalid distribution name"),
            ("en", "..", "Invalid distribution name"),
            ("en", "C:\\Windows", "Invalid distribution name"),
            ("en", "a/b", "Invalid distribution name"),
        ]
        before = sync_processes()
        for language, dist, error in cases:
            with self.subTest(language=language, dist=dist):
                calls = self.run_host(dist=dist, language=language)
                self.assertEqual([error], calls.errors)
                self.assertEqual([0.0], calls.progress)
                self.assertFalse(calls.initialized)
        self.assertEqual(before, sync_processes())
        self.assertFalse(os.path.exists(unix_path(VostxWork.workdir.rsplit("\\", 2)[0] + "\\escape")))

    def test_6_error_texts(self):
        def publish_bad(table, files, override=None):
            for name, data in files.items():
                self.write(checksum_text(data), override.get(name, data) if override else data)
            self.write(table, table_text(files))

        # A newer sync program whose bytes the server gets wrong: the copy in place must stay.
        newer = {"ivlsync.exe": self.files["ivlsync.exe"] + b"\0newer"}
        self.write("roots-noid.xml", root_list(list_id="Something_Else"))
        self.write("roots-notable.xml", root_list(table="no-such-table.txt"))
        self.write("roots-mismatch.xml", root_list(table="mismatch.txt"))
        publish_bad("mismatch.txt", dict(self.files, **newer), {"ivlsync.exe": b"other bytes on the server\n"})
        self.write("roots-empty.xml", root_list(table="empty.txt"))
        self.write("empty.txt", "")
        # Work folders that cannot be made or used, each under a name of its own.
        ivl = ivl_folder()
        no_dir, no_cache, no_copy = (self.dist + suffix for suffix in ("-nodir", "-nocache", "-nocopy"))
        for dist in (no_dir, no_cache, no_copy):
            self.addCleanup(shutil.rmtree, os.path.join(ivl, dist), True)
            self.addCleanup(shutil.rmtree, os.path.join(self.install_root, dist), True)
        shutil.rmtree(os.path.join(ivl, no_dir), ignore_errors=True)
        with open(os.path.join(ivl, no_dir), "wb") as f:
            f.write(b"a file where the work folder goes\n")
        self.addCleanup(lambda: os.path.isfile(os.path.join(ivl, no_dir)) and os.remove(os.path.join(ivl, no_dir)))
        os.makedirs(os.path.join(ivl, no_cache), exist_ok=True)
        with open(os.path.join(ivl, no_cache, "synccache"), "wb") as f:
            f.write(b"a file where the cache folder goes\n")
        os.makedirs(os.path.join(self.install_root, no_copy), exist_ok=True)
        shutil.copy(self.work("ivlsync.exe"), os.path.join(self.install_root, no_copy, "ivlsync.exe"))
        os.makedirs(os.path.join(ivl, no_copy, "ivlsync.exe"), exist_ok=True)
        self.write("roots-missing.xml", root_list(table="missing.txt"))
        self.write("missing.txt", table_text(dict(self.files, **{"gone.bin": b"never published\n"})))
        self.write("roots-drive.xml", root_list(table="drive.txt"))
        self.write("drive.txt", '"C:/evil.bin",%s,4,0,0\r\n' % checksum_text(b"evil"))
        planted = b"planted by the server\n"
        self.write(checksum_text(planted), planted)
        refused = [("device", ["sub/NUL.txt"]), ("own", ["vostx.log"]), ("twice", ["Dup.txt", "dup.txt"]),
                   ("climb", ["sub/../../up3.txt"])]
        for table, names in refused:
            self.write("roots-%s.xml" % table, root_list(table="%s.txt" % table))
            self.write("%s.txt" % table, "".join('"%s",%s,0,0,0\r\n' % (n, checksum_text(planted)) for n in names))
        cases = [
            # (root list, installed version, error, progress before it, work folder name)
            ("roots-noid.xml", VERSION, "GetListUniqueName(VostX_Depends) returned empty name", [0.0, 0.1], None),
            ("no-such-root.xml", VERSION, "Failed to download root file list", [0.0, 0.1], None),
            ("roots-notable.xml", VERSION, "DownloadUniqueFile failed", [0.0, 0.1, 0.2], None),
            ("roots-mismatch.xml", VERSION, "Checksum mismatch", [0.0, 0.1, 0.2], None),
            ("roots-missing.xml", VERSION, "Couldn't download file", [0.0, 0.1, 0.2], None),
            ("roots-drive.xml", VERSION, "Invalid file name in file table", [0.0, 0.1, 0.2], None),
            (ROOT_LIST, VERSION, "Failed to create temp directory", [0.0], no_dir),
            (ROOT_LIST, VERSION, "Couldn't create cache directory", [0.0, 0.1], no_cache),
            (ROOT_LIST, VERSION, "File copy failed", [0.0, 0.1, 0.2], no_copy),
        ] + [("roots-%s.xml" % table, VERSION, "Invalid file name in file table", [0.0, 0.1, 0.2], None)
             for table, _ in refused] + [
            # last: its engine log line is looked for in vostx.log below
            (ROOT_LIST, "no-such-version", "Couldn't resolve install path", [0.0], None),
        ]
        for root, version, error, progress, dist in cases:
            with self.subTest(root=root, error=error):
                calls = self.run_host(root=root, version=version, dist=dist)
                self.assertEqual([error], calls.errors)
                self.assertEqual(progress, calls.progress)
                self.assertFalse(calls.initialized)
        # The wrong bytes never took the place of the working copy, nor stayed beside it, and
        # no failed run started the sync program.
        self.assertEqual(self.files["ivlsync.exe"], self.read(self.work("ivlsync.exe")))
        self.assertEqual([], [n for n in os.listdir(self.work()) if n.endswith(".part")])
        self.assertTrue(wait_for(lambda: not sync_processes(), 10), sync_processes())
        lines = self.log_lines()
        self.assertTrue(any("RegOpenKeyEx(Software\\Vost-Parn\\Ironvale no-such-version) failed" in l
                            for l in lines), "engine lines reach vostx.log")
        self.assertFalse(os.path.exists(unix_path(VostxWork.workdir)[:2] + "/evil.bin"))
        for name in ("dup.txt", "Dup.txt"):
            self.assertFalse(os.path.exists(self.work(name)), name)
        self.assertNotIn(planted, self.read(self.work("vostx.log")))
        # A redirect into a black hole (inside the run's namespace) is given up after the connect
        # time-out, not after the system's minutes of retries.
        start = time.monotonic()
        calls = self.run_host(root="hole-roots.xml")
        self.assertEqual(["Failed to download root file list"], calls.errors)
        self.assertLess(time.monotonic() - start, 60)
        # The failed runs stopped the sync program; a good run brings it back.
        calls = self.run_host()
        self.assertEqual([], calls.errors)
        self.wait_sync_ready()
        VostxWork.sync_pid = sync_processes()[0][0]
        # An empty table: nothing to bring up to date, so the running program is left alone.
        calls = self.run_host(root="roots-empty.xml")
        self.assertEqual(([], PROGRESS), (calls.errors, calls.progress))
        self.assertEqual([VostxWork.sync_pid], [pid for pid, _ in sync_processes()])
        lines = self.log_lines()
        self.assertFalse(any("Sending shutdown message" in l for l in lines), lines)
        self.assertTrue(any(l.endswith(" ivlync is running") for l in lines), lines)

    def test_7_mutex_holder_that_ignores_the_close_command(self):
        close_sync()
        # Our own listener on the command port receives the close commands.
        blocker = socket.socket()
        blocker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        blocker.bind(("127.0.0.1", fc.COMMAND_PORT))
        blocker.listen(64)
        holder = subprocess.Popen(wine_command(BUILD, HOLDER), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  start_new_session=True)
        try:
            self.assertEqual(b"holding", holder.stdout.readline().strip())
            self.write(TABLE, table_text(dict(self.files, **{"new.bin": b"new\n"})))
            self.write(checksum_text(b"new\n"), b"new\n")
            started = time.monotonic()
            host = subprocess.Popen(wine_command(BUILD, HOST, self.dist, VERSION, "en", "127.0.0.1:%d" % self.port,
                                                 "127.0.0.1:%d" % self.port, ROOT_LIST, "flashObj"),
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
            received = []
            blocker.settimeout(5)
            while host.poll() is None and time.monotonic() - started < 120:
                try:
                    conn, _ = blocker.accept()
                except socket.timeout:
                    continue
                conn.settimeout(5)
                data = b""
                try:
                    while True:
                        piece = conn.recv(256)
                        if not piece:
                            break
                        data += piece
                except socket.timeout:
                    pass
                conn.close()
                received.append(data)
            out = host.communicate(timeout=60)[0].decode("latin-1")
            calls = Calls(out)
            self.assertEqual(["Couldn't close ivlsync"], calls.errors, out)
            self.assertEqual([0.0, 0.1, 0.2], calls.progress)
            self.assertEqual([CLOSE_TEXT] * 30, received)
            self.assertGreater(time.monotonic() - started, 25)
            self.assertFalse(os.path.exists(self.work("new.bin")), "nothing changes while it runs")
            self.assertTrue(any("ivlsync didn't shut down after 30 seconds. Giving up!" in l for l in self.log_lines()))
        finally:
            holder.stdin.close()
            holder.wait(30)
            holder.stdout.close()
            blocker.close()
            self.publish(self.files)

    def test_8_repeated_calls_on_one_core(self):
        # Two calls before the first run ends: the second thread ends at once, the page hears only
        # the first run; a call after the successful run only reports 0.0.
        # An empty language is valid: the sync program then reads no language file.
        close_sync()
        calls = self.run_host(calls=2, language="")
        self.assertEqual([], calls.errors)
        self.assertEqual(PROGRESS + [0.0], calls.progress)
        self.assertTrue(calls.initialized)
        self.assertEqual(1, sum("Already initialized. Skipping the rest." in l for l in self.log_lines()))
        _, argv = self.wait_sync_ready()
        self.assertEqual(["/m", "/l"], argv[1:])


def run_stand_in(tmp, name, exe, *args, timeout):
    """Runs a browser stand-in to its end with its record in tmp/NAME.out and its console output
    in tmp/NAME.console; returns the record's lines."""
    out = os.path.join(tmp, name + ".out")
    with open(os.path.join(tmp, name + ".console"), "wb") as console:
        rc = subprocess.run(wine_command(BUILD, exe, "--out", windows_path(out), *args),
                            stdout=console, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                            timeout=timeout).returncode
    with open(out, encoding="latin-1") as f:
        lines = f.read().splitlines()
    assert rc == 0, (rc, lines)
    return lines


def npapi(tmp, *commands, flash_id="flashObj", timeout=180):
    """Runs the NPAPI browser stand-in with the plug-in DLL; returns its record lines."""
    return run_stand_in(tmp, "npapihost", NPHOST, "--dll", DLL, "--flash-id", flash_id, *commands, timeout=timeout)


def flash_calls(lines):
    return [line.split("|") for line in lines if line.startswith("flash ")]


class Npapi(ServedDistribution):
    """The plug-in DLL in the NPAPI browser stand-in."""

    def init_args(self, dist=None, root=ROOT_LIST, flash="flashObj"):
        return ["s:" + (dist or self.dist), "s:" + VERSION, "s:en", "s:127.0.0.1:1", "s:127.0.0.1:%d" % self.port,
                "s:" + root, "s:" + flash]

    def test_entry_points_version_and_script_errors(self):
        lines = npapi(self.tmp, "init-null", "init", "entry", "new", "getvalue", "1", "getvalue", "14", "getvalue",
                      "99", "object", "invoke", "GetVersion", "i:3", "s:x", "default", "hasmethod", "Foo", "invoke",
                      "Foo", "invoke", "GetProgress", "invoke", "InitVostX", *(["s:a"] * 6), "invoke", "InitVostX",
                      *(["s:a"] * 8), "version", "release", "destroy", "shutdown", "threads", "30")
        expected = [
            "exports NP_GetEntryPoints=1 NP_Initialize=1 NP_Shutdown=1 NewPlugin=1",
            "init-null 3",
            "init 0",
            "entry 0 version=19 size=1 newp=1 destroy=1 setwindow=1 event=1 getvalue=1 newstream=untouched "
            "setvalue=untouched",
            "setwindow 0 event 0",
            "new 0",
            "getvalue 1 0 Vost-Parn",
            "getvalue 14 0 0",
            "getvalue 99 1",
            "object 0 set refs=2",
            "invoke GetVersion true string:1.0.4.6 exception=",
            "default true int:42",
            "hasmethod Foo true",
            "invoke Foo false void exception=exception during invocation",
            "invoke GetProgress false void exception=exception during invocation",
            "invoke InitVostX false void exception=InitVostX: invalid number of parameters (expected 7)",
            "invoke InitVostX false void exception=InitVostX: invalid number of parameters (expected 7)",
            "version MIMEType=application/x-vost-plugin-live|application/x-vost-plugin-live;version=1.0.4.6",
            "version FileExtents=.|.",
            "version FileOpenName=I&V downloader / updater|I&V downloader / updater",
            "version FileDescription=Ironvale browser plugin",
            "version ProductName=Ironvale live",
            "version InternalName=npvostx",
            "version OriginalFilename=npvostxlive.dll",
            "version FileVersion=1.0.4.6",
            "version ProductVersion=1.0.4.6",
            "version OLESelfRegister=",
            "release",
            "destroy 0",
            "shutdown 0",
            "threads extra=0",
        ]
        self.assertEqual(expected, lines)

    def test_calls_the_browser_should_not_make_show_a_message_and_go_on(self):
        # The message box runs on a thread of its own; the stand-in reads and closes it.
        lines = npapi(self.tmp, "init", "entry", "nodata-getvalue", "messagebox", "30", "new", "new-again",
                      "messagebox", "30", "getvalue", "1", "destroy", "threads", "30")
        self.assertEqual(["nodata-getvalue 1", "messagebox getValue with NULL data", "new 0", "new-again 0",
                          "messagebox newp with pdata already initialized", "getvalue 1 0 Vost-Parn", "destroy 0",
                          "threads extra=0"], lines[4:])

    def test_argument_conversions_reach_the_core(self):
        # Argument 1 names the work folder, 6 and 7 appear in the log's parameter line.
        long_name = "r" * 300
        cases = [
            (["i:5", "s:" + VERSION, "s:en", "s:h1", "s:h2", "d:2.5", "b:1"], "5", "2.500000", "1"),
            (["s:%s" % self.dist + "c", "s:" + VERSION, "s:en", "s:h1", "s:h2", "s:" + long_name, "b:0"], self.dist + "c",
             long_name, "0"),
            (["s:%s" % self.dist + "d", "s:" + VERSION, "s:en", "s:h1", "s:h2", "null", "void"], self.dist + "d", "", ""),
            (["s:%s" % self.dist + "e", "s:" + VERSION, "s:en", "s:h1", "s:h2", "d:0.1", "i:-7"], self.dist + "e", "0.100000",
             "-7"),
        ]
        for args, dist, root, flash in cases:
            with self.subTest(dist=dist):
                folder = os.path.join(ivl_folder(), dist)
                try:
                    lines = npapi(self.tmp, "init", "entry", "new", "object", "invoke", "InitVostX", *args, "release",
                                  "destroy", "threads", "60")
                    self.assertIn("invoke InitVostX true void exception=", lines)
                    self.assertEqual("threads extra=0", lines[-1])
                    with open(os.path.join(folder, "vostx.log"), encoding="latin-1") as f:
                        log = f.read()
                    self.assertIn(" GlobalInitVostX params: Dist:%s Uniquefile:%s FlashObj:%s\n" % (dist, root, flash),
                                  log)
                finally:
                    shutil.rmtree(folder, ignore_errors=True)

    def test_install_sequence_reaches_the_flash_element_on_the_main_thread(self):
        close_sync()
        lines = npapi(self.tmp, "init", "entry", "new", "object", "invoke", "InitVostX", *self.init_args(),
                      "wait-flash", "4", "120", "release", "destroy", "threads", "60")
        calls = flash_calls(lines)
        self.assertEqual([["flash VostxProgress", "string:initializing"]] * 4, [c[:2] for c in calls], lines)
        values = [float(c[2].split(":")[1]) for c in calls]
        self.assertEqual([0.0, 1.0], [values[0], values[3]])
        self.assertAlmostEqual(0.1, values[1], places=6)
        self.assertAlmostEqual(0.2, values[2], places=6)
        self.assertTrue(all(c[2].startswith("double:") and c[3] == "thread:main" for c in calls), calls)
        self.assertEqual("threads extra=0", lines[-1])
        self.assertTrue(wait_for(lambda: len(sync_processes()) == 1, 30))

    def test_unknown_element_id_drops_the_calls(self):
        lines = npapi(self.tmp, "init", "entry", "new", "object", "invoke", "InitVostX",
                      *self.init_args(flash="noSuchElement"), "threads", "60", "pump", "500", "release", "destroy")
        self.assertEqual([], flash_calls(lines))
        lookups = [l for l in lines if l.startswith("page getElementById")]
        self.assertEqual(["page getElementById|noSuchElement|thread:main"] * 4, lookups)

    def test_destroyed_instance_during_a_run(self):
        # The page goes away while the install thread still runs (its table arrives late): the
        # thread ends on its own and none of its page calls reaches the destroyed instance.
        close_sync()
        lines = npapi(self.tmp, "init", "entry", "new", "object", "invoke", "InitVostX",
                      *self.init_args(root="roots-slow.xml"), "invoke", "InitVostX", *self.init_args(root="roots-slow.xml"),
                      "release", "destroy", "threads", "90", "pump", "500", "shutdown")
        self.assertEqual([], flash_calls(lines))
        self.assertFalse([l for l in lines if l.startswith("page ")])
        self.assertEqual("threads extra=0", lines[-2])
        close_sync()

    def test_unload_after_shutdown_during_a_run(self):
        # The browser unloads the DLL after NP_Shutdown while the install thread waits for its
        # table: the DLL stays until that thread has ended, then goes.
        close_sync()
        lines = npapi(self.tmp, "init", "entry", "new", "object", "invoke", "InitVostX",
                      *self.init_args(root="roots-slow.xml"), "release", "destroy", "shutdown", "loaded", "threads",
                      "90", "loaded")
        self.assertEqual(["shutdown 0", "loaded 1", "threads extra=0", "loaded 0"], lines[-4:], lines)
        self.assertFalse([l for l in lines if l.startswith(("flash ", "page "))], lines)
        close_sync()

    def test_no_call_reaches_a_destroyed_instance(self):
        # A browser that called NPP_New twice on the instance, with the run started before or
        # after that, then destroyed it while the run waits for its table; and one that scripts
        # the object it kept after NPP_Destroy, which starts no run at all.
        close_sync()
        slow = ["invoke", "InitVostX", *self.init_args(root="roots-slow.xml")]
        renew = ["new-again", "messagebox", "30"]
        late_dist = self.dist + "late"
        self.addCleanup(shutil.rmtree, os.path.join(ivl_folder(), late_dist), True)
        cases = [
            ("run, then a second NPP_New", slow + renew + ["destroy"], True),
            ("second NPP_New, then run", renew + slow + ["destroy"], True),
            ("object kept after NPP_Destroy", ["destroy", "invoke", "InitVostX", *self.init_args(dist=late_dist)],
             False),
        ]
        for name, steps, started in cases:
            with self.subTest(name):
                lines = npapi(self.tmp, "init", "entry", "new", "object", *steps, "threads", "90", "pump", "500",
                              "release", "shutdown")
                after = lines[lines.index("destroy 0"):]
                self.assertFalse([l for l in after if l.startswith(("flash ", "page "))], lines)
                self.assertIn("threads extra=0", lines)
                invoked = "invoke InitVostX true void exception=" if started else \
                    "invoke InitVostX false void exception=exception during invocation"
                self.assertIn(invoked, lines)
                self.assertFalse(os.path.exists(os.path.join(ivl_folder(), late_dist)))
        close_sync()


CLSID = "{DA9D2FD4-0933-4430-BF36-6B70B42DA387}"
LIBID = "{A7BF4F67-0A74-47D0-AE3A-77DC9025C4AF}"
CAT_SCRIPTING = "{7DD95801-9882-11CF-9FA9-00AA006C42C4}"
CAT_INITIALIZING = "{7DD95802-9882-11CF-9FA9-00AA006C42C4}"


def reg_query(key):
    p = subprocess.run(wine_command(BUILD, "reg", "query", key, "/s"), stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, timeout=120)
    return p.returncode, p.stdout.decode("latin-1").replace("\r\n", "\n")


def axhost(tmp, *commands, flash_id="flashObj", timeout=300):
    """Runs the ActiveX container stand-in; returns its record lines."""
    return run_stand_in(tmp, "axhost", AXHOST, "--flash-id", flash_id, *commands, timeout=timeout)


class ActiveX(ServedDistribution):
    """The plug-in DLL as an ActiveX control, registered with regsvr32, in the container stand-in."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        assert wine("regsvr32", "/s", DLL) == 0

    @classmethod
    def tearDownClass(cls):
        wine("regsvr32", "/s", "/u", DLL)
        super().tearDownClass()

    def init_args(self, dist=None, root=ROOT_LIST, flash="flashObj"):
        return [dist or self.dist, VERSION, "en", "127.0.0.1:1", "127.0.0.1:%d" % self.port, root, flash]

    def test_registration_keys_and_unregistration(self):
        rc, text = reg_query("HKCR\\VOSTX.vostxCtrl.live")
        self.assertEqual(0, rc, text)
        self.assertIn("Vostx Control (live)", text)
        self.assertIn(CLSID, text)
        rc, text = reg_query("HKCR\\CLSID\\" + CLSID)
        self.assertEqual(0, rc, text)
        for expected in ["\\ProgID\n    (Default)    REG_SZ    VOSTX.vostxCtrl.live",
                         "ThreadingModel    REG_SZ    Apartment",
                         "\\MiscStatus\\1\n    (Default)    REG_SZ    132241",
                         "\\TypeLib\n    (Default)    REG_SZ    " + LIBID,
                         "\\Version\n    (Default)    REG_SZ    1.0",
                         "\\Control\n",
                         "\\Implemented Categories\\" + CAT_SCRIPTING,
                         "\\Implemented Categories\\" + CAT_INITIALIZING]:
            self.assertIn(expected, text)
        # The toolbox picture: the key names bitmap 1 of the DLL, and a container can load it.
        self.assertIn("\\ToolboxBitmap32\n    (Default)    REG_SZ    %s, 1\n" % windows_path(DLL), text)
        self.assertEqual(["toolbox 1 16x16"], axhost(self.tmp, "toolbox"))
        self.assertEqual(0, reg_query("HKCR\\TypeLib\\" + LIBID + "\\1.0")[0])
        rc, text = reg_query("HKCR\\Component Categories\\" + CAT_SCRIPTING)
        self.assertIn("409    REG_SZ    Controls safely scriptable!", text)
        rc, text = reg_query("HKCR\\Component Categories\\" + CAT_INITIALIZING)
        self.assertIn("409    REG_SZ    Controls safely initializable from persistent data!", text)

        self.assertEqual(0, wine("regsvr32", "/s", "/u", DLL))
        try:
            self.assertNotEqual(0, reg_query("HKCR\\CLSID\\" + CLSID)[0])
            self.assertNotEqual(0, reg_query("HKCR\\VOSTX.vostxCtrl.live")[0])
            self.assertNotEqual(0, reg_query("HKCR\\TypeLib\\" + LIBID)[0])
            self.assertEqual(0, reg_query("HKCR\\Component Categories\\" + CAT_SCRIPTING)[0], "categories stay")
            self.assertEqual(0, reg_query("HKCR\\Component Categories\\" + CAT_INITIALIZING)[0])
        finally:
            self.assertEqual(0, wine("regsvr32", "/s", DLL))

    def test_install_sequence_reaches_the_container_thread(self):
        close_sync()
        # The second call names another distribution: the control keeps its first core and folder.
        other = self.dist + "other"
        self.addCleanup(shutil.rmtree, os.path.join(ivl_folder(), other), True)
        lines = axhost(self.tmp, "cwd", "create", "cwd", "version", "init6", *self.init_args()[:6], "init",
                       *self.init_args(), "wait-flash", "4", "120", "threads", "60", "init",
                       *self.init_args(dist=other), "wait-flash", "5", "60", "release", "threads", "60")
        self.assertEqual("cwd " + windows_path(os.getcwd()), lines[0])
        self.assertEqual("create 0x00000000", lines[1])
        self.assertTrue(lines[2].startswith("cwd C:\\") and lines[2].endswith("\\Temp\\IVL"), lines[2])
        self.assertTrue(os.path.isdir(ivl_folder()))
        self.assertEqual("version 0x00000000 bstr:1.0.4.6", lines[3])
        self.assertEqual("init6 0x8002000e", lines[4], "DISP_E_BADPARAMCOUNT")
        calls = [l for l in lines if l.startswith("flash ")]
        # After the first run's thread has ended, a further call on the same control only says 0.0.
        values = [0, 0.100000001, 0.200000003, 1, 0]
        self.assertEqual(["flash VostxProgress|bstr:initializing|r4:%.9g|thread:main" % v for v in values], calls)
        self.assertEqual("threads plugin=0", lines[-1])
        self.assertFalse(os.path.exists(os.path.join(ivl_folder(), other)))
        with open(os.path.join(ivl_folder(), self.dist, "vostx.log"), encoding="latin-1") as f:
            self.assertIn(" Already initialized. Skipping the rest.\n", f.read())
        self.assertTrue(wait_for(lambda: len(sync_processes()) == 1, 30))

    def test_second_call_during_a_run_and_a_long_element_id(self):
        # The second call's thread finds the first one running and ends at once; the page hears
        # one run. The element id is longer than 99 characters and must arrive whole.
        close_sync()
        flash = "flash" + "x" * 145
        lines = axhost(self.tmp, "create", "init", *self.init_args(root="roots-slow.xml", flash=flash), "init",
                       *self.init_args(root="roots-slow.xml", flash=flash), "wait-flash",
                       "4", "120", "pump", "1000", "release", "threads", "60", flash_id=flash)
        calls = [l.split("|")[2] for l in lines if l.startswith("flash ")]
        self.assertEqual(["r4:0", "r4:0.100000001", "r4:0.200000003", "r4:1"], calls)
        self.assertEqual("threads plugin=0", lines[-1])
        close_sync()

    def test_unknown_element_or_document_is_logged_per_call(self):
        """Each Flash call that finds no element is dropped and logged: the page answers null for
        a missing element (no dispatch interface), and a page may answer "document" with a
        dispatch type and no object."""
        cases = [
            # name, options of the container, flash id, the line that names the cause
            ("unknown element id", [], "noSuchElement", "pFlashObject->vt == VT_DISPATCH"),
            ("document without an object", ["--document", "null"], "flashObj", " GetFlashObject/document failed\n"),
        ]
        for name, options, flash_id, cause in cases:
            with self.subTest(name):
                log_path = os.path.join(ivl_folder(), self.dist, "vostx.log")
                if os.path.exists(log_path):
                    os.remove(log_path)
                lines = axhost(self.tmp, *options, "create", "init", *self.init_args(), "threads", "60", "pump",
                               "500", "release", flash_id=flash_id)
                self.assertEqual([], [l for l in lines if l.startswith("flash ")])
                with open(log_path, encoding="latin-1") as f:
                    log = f.read()
                self.assertEqual(4, log.count(cause), log)
                self.assertEqual(4, log.count(" GetFlashObject(flashObj) failed\n"))
                close_sync()

    def test_release_and_reset_during_a_run(self):
        # The page goes away (or resets the control) while the install thread waits for its file
        # table: the thread ends on its own, nothing is left running and nothing crashes. COM
        # must not unload the DLL under the running thread, and may once it has ended.
        for step in ("release", "reset"):
            with self.subTest(step=step):
                close_sync()
                commands = ["create", "init", *self.init_args(root="roots-slow.xml"), step]
                if step == "reset":
                    commands += ["pump", "100", "release"]
                lines = axhost(self.tmp, *commands, "canunload", "freeunused", "threads", "60", "canunload",
                               "freeunused", "pump", "500", "siterefs")
                ends = [l for l in lines if l.startswith(("canunload", "freeunused", "threads", "siterefs"))]
                self.assertEqual(["canunload 0x00000001", "freeunused loaded=1", "threads plugin=0",
                                  "canunload 0x00000000", "freeunused loaded=0", "siterefs 0"], ends, lines)
        close_sync()


class AtlContainer(unittest.TestCase):
    """The control in Wine's own ATL container window, as a page outside a browser hosts it."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="e2e_vostx_atl_", dir=os.path.join(BUILD))
        assert wine("regsvr32", "/s", DLL) == 0

    @classmethod
    def tearDownClass(cls):
        wine("regsvr32", "/s", "/u", DLL)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_created_activated_scripted_and_released(self):
        # The run is refused at once (its first argument names no folder), so nothing else starts;
        # the arguments come as a script passes them, numbers and flags among them.
        lines = axhost(self.tmp, "atl", "version", "init", "..", "i:7", "b:1", "h1", "h2", "i:3", "flashObj",
                       "release", "threads", "60", "pump", "500", "canunload", "siterefs")
        self.assertEqual(["atl 0x00000000 inplace=1", "version 0x00000000 bstr:1.0.4.6", "init 0x00000000",
                          "release", "threads plugin=0", "canunload 0x00000000", "siterefs 0"], lines)


class VostxWork:
    workdir = None
    sync_pid = None


def main():
    global BUILD, HOST, HOLDER, IVLSYNC, NPHOST, DLL, AXHOST
    args, rest = driver_args("host", "holder", "ivlsync", "npapihost", "dll", "axhost")
    AXHOST, NPHOST, DLL = args.axhost, args.npapihost, args.dll
    tree = args.build
    HOST, HOLDER, IVLSYNC = args.host, args.holder, args.ivlsync
    run_isolated(tree)
    if os.environ.get("IVL_ISOLATED") == "netns":
        # The tree's prefix is this run's own overlay, set up already. A fresh prefix would run
        # wineboot again before every program until its server first saves the registry.
        BUILD = tree
        return run_tests_with_services(BUILD, __name__, [sys.argv[0]] + rest)
    # Under the port lock the tree's Wine services are shared: a prefix of our own.
    BUILD = tempfile.mkdtemp(prefix="e2e_vostx_prefix_", dir=tree)
    try:
        shutil.copy(os.path.join(tree, "wine-arch"), BUILD)
        return run_tests_with_services(BUILD, __name__, [sys.argv[0]] + rest)
    finally:
        shutil.rmtree(BUILD, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
