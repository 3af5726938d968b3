#!/usr/bin/env python3
"""End to end: the downloader (through its driver program dldriver.exe under Wine) against real
file servers on 127.0.0.1 (tools/fileserver.py with fault scripts, and nginx), with a
distribution made by tools/publish.py.

    e2e_downloader.py --build BUILD --driver PATH [unittest arguments]
"""
import bz2
import contextlib
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(TOP, "tests", "lib"))
from fileservers import FileServer, Nginx  # noqa: E402
from winetest import Wine, driver_args, remove_dir, run_tests_with_services, scratch_dir, wait_for, windows_path  # noqa: E402

BUILD = None
DRIVER = None
PUBLISH = os.path.join(TOP, "tools", "publish.py")


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def make_source(folder, seed, big=0):
    """A small distribution: compressible and random files in folders, one file under
    "_servers/website", twenty small files (so every worker gets work) and an optional big one."""
    rnd = __import__("random").Random(seed)
    write(os.path.join(folder, "top.txt"), b"top %d\n" % seed)
    write(os.path.join(folder, "a", "b", "rand.bin"), bytes(rnd.getrandbits(8) for _ in range(150000)))
    write(os.path.join(folder, "a", "text.txt"), b"line of text %d\n" % seed * 20000)
    write(os.path.join(folder, "_servers", "website", "index.html"), b"<html>%d</html>" % seed)
    write(os.path.join(folder, "_Servers", "WebSite", "page.html"), b"<p>%d</p>" % seed)
    for i in range(20):
        write(os.path.join(folder, "many", "f%02d.dat" % i), b"%d-%d " % (seed, i) * (50 + 37 * i))
    if big:
        write(os.path.join(folder, "big", "big.bin"), bytes(rnd.getrandbits(8) for _ in range(big)))


def publish(out, src, ident="Main"):
    p = subprocess.run([sys.executable, PUBLISH, "--out", out, "--list", "%s=%s" % (ident, src)],
                       check=True, stdout=subprocess.PIPE)
    return json.loads(p.stdout)["lists"][ident]


def skipped(name):
    return "_servers/website" in name.lower()


def expected_state(files):
    """currentfiles.txt as a fresh install of these files must leave it."""
    names = sorted((n for n in files if not skipped(n)), key=lambda n: n.encode("utf-8"))
    return b"".join(b'"%s",%s,%d,1,1\r\n' % (n.encode(), files[n]["text"].encode(), files[n]["size"])
                    for n in names)


def blob_path(record):
    return "/" + record["text"] + (".bz2" if record["size"] else "")


class Run:
    """What one driver run said."""

    def __init__(self, rc, text):
        self.rc = rc
        self.text = text
        self.logs = [l[4:] for l in text.splitlines() if l.startswith("LOG ")]
        self.errors = [l[6:] for l in text.splitlines() if l.startswith("ERROR ")]
        m = re.search(r"^RESULT failed=(\d)", text, re.M)
        self.failed = m and m.group(1) == "1"
        self.cwd_restored = "CWD restored=1" in text
        m = re.search(r"^WORKERS (-?\d+)", text, re.M)
        self.workers = int(m.group(1)) if m else None
        m = re.search(r"^PEAK_MEMORY (\d+)", text, re.M)
        self.peak = int(m.group(1)) if m else None

    def has(self, prefix):
        return any(l.startswith(prefix) for l in self.logs)


class E2ETest(unittest.TestCase):
    """A published distribution, a fresh target per test, servers stopped after each test."""

    @classmethod
    def setUpClass(cls):
        cls.wine = Wine(BUILD)
        # The driver's first start on a loaded machine can take most of a minute (seen when the
        # other end-to-end tests start at the same time): it is paid here, not by a timed case.
        cls.wine.run(DRIVER, timeout=300)
        cls.base = scratch_dir(BUILD, "dl")
        cls.src = os.path.join(cls.base, "src")
        make_source(cls.src, 1)
        cls.pub = os.path.join(cls.base, "pub")
        cls.dist = publish(cls.pub, cls.src)
        cls.list = cls.dist["uniquefile"]
        cls.files = cls.dist["files"]

    @classmethod
    def tearDownClass(cls):
        remove_dir(cls.base)

    def setUp(self):
        self.cleanups = contextlib.ExitStack()
        self.target = tempfile.mkdtemp(prefix="target-", dir=self.base)

    def tearDown(self):
        self.cleanups.close()
        remove_dir(self.target)

    def server(self, script=None, root=None):
        s = FileServer(root or self.pub, script)
        self.cleanups.callback(s.stop)
        return s

    def run_driver(self, servers, *extra, lists=None, target=None):
        args = ["--target", windows_path(target or self.target), "--lists", lists or self.list]
        for s in servers:
            args += ["--server", s.name]
        rc, text = self.wine.run(DRIVER, *args, *extra, timeout=300)
        run = Run(rc, text)
        self.assertIn(run.rc, (0, 1), "driver crashed or refused its arguments:\n" + text)
        self.assertTrue(run.cwd_restored, text)
        return run

    def state(self):
        return read(os.path.join(self.target, "synccache", "currentfiles.txt"))

    def journal(self):
        return os.path.join(self.target, "synccache", "currentfiles.txt.journal")

    def assert_installed(self, names=None):
        for name in names or self.files:
            path = os.path.join(self.target, *name.split("/"))
            if skipped(name):
                self.assertFalse(os.path.exists(path), name)
            else:
                self.assertEqual(read(path), read(os.path.join(self.src, *name.split("/"))), name)


class DownloaderTest(E2ETest):
    """Download runs: the file lists, the workers and the file store, state and journal."""

    # ---- the main path ----

    def test_fresh_install_then_no_change(self):
        """A fresh target gets every file byte for byte, the state and the log as expected; a
        second run makes no request; on both server kinds."""
        for kind in ("fileserver", "nginx"):
            with self.subTest(kind=kind):
                remove_dir(self.target)
                os.makedirs(self.target)
                if kind == "nginx":
                    srv = Nginx(self.pub)
                    self.cleanups.callback(srv.stop)
                    requests = srv.requests
                else:
                    srv = self.server()
                    requests = lambda: list(srv.stats()["requests"])  # noqa: E731
                run = self.run_driver([srv])
                self.assertFalse(run.failed, run.text)
                self.assertEqual(run.rc, 0)
                self.assertEqual(run.errors, [])
                self.assert_installed()
                self.assertEqual(self.state(), expected_state(self.files))
                self.assertFalse(os.path.exists(self.journal()))
                self.check_log(srv)

                paths = requests()
                website = [blob_path(r) for n, r in self.files.items() if skipped(n)]
                self.assertFalse(set(website) & set(paths), "a _servers/website file was requested")
                for name, record in self.files.items():
                    if record["size"] and not skipped(name):
                        self.assertIn(blob_path(record), paths)
                        self.assertNotIn("/" + record["text"], paths, "fetched plain: " + name)

                seen = len(requests())
                run = self.run_driver([srv])
                self.assertFalse(run.failed, run.text)
                self.assertEqual(requests()[seen:], [], "the no-change run sent requests")
                self.assertIn("Downloading/updating 0 files", run.logs)
                self.assertEqual(self.state(), expected_state(self.files))

    def check_log(self, srv):
        raw = read(os.path.join(self.target, "fetchbatch.log"))
        self.assertNotRegex(raw, rb"[^\r]\n", "a line without CR LF")
        self.assertTrue(raw.endswith(b"Exitcode: 0\r\n"), raw[-200:])
        lines = raw.decode("utf-8").split("\r\n")[:-1]
        target = windows_path(self.target)
        state = target + "\\synccache/currentfiles.txt"
        self.assertRegex(lines[0], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\dZ fetchbatch\.exe -d %s -m %s$"
                         % (re.escape(target), re.escape(self.list)))
        self.assertEqual(lines[1:4], ["   -u " + srv.name,
                                      'Fetching file list(s) "%s" from %s' % (self.list, srv.name),
                                      "Connected to: %s attempt 0" % srv.name])
        self.assertEqual(lines[4], "GET %s\r" % self.list)   # "GET %s\r\n": CR CR LF on disk
        wanted = [n for n in self.files if not skipped(n)]
        self.assertEqual(lines[5], "Downloading/updating %d files" % len(wanted))
        done = [l for l in lines if l.startswith("download file ")]
        self.assertEqual(sorted(done), sorted('download file "%s" to %s -- Done!' % (self.files[n]["text"], n)
                                              for n in wanted))
        tail = lines[lines.index("Done downloading"):]
        transfer = sum(r["size"] or int(r["text"].rsplit("-", 1)[1]) for n, r in self.files.items()
                       if not skipped(n))
        self.assertRegex(tail[1], r"^Transfer start: \d\d:\d\d:\d\d$")
        self.assertRegex(tail[2], r"^Transfer end: \d\d:\d\d:\d\d$")
        self.assertEqual(tail[3], "Transfer bytes: %d / %d, files: %d / %d" % (transfer, transfer, len(wanted),
                                                                               len(wanted)))
        if tail[4].startswith("kb/s: "):
            del tail[4]
        self.assertEqual(tail[4:], ["Repack: 0/0",
                                    "Not deleting %s (it doesn't exist)" % state,
                                    "Successfully moved %s.1 to %s" % (state, state),
                                    "Exitcode: 0"])

    def test_deleted_file_and_quick_check(self):
        """A deleted file is fetched again without the quick check and not with it."""
        srv = self.server()
        self.assertFalse(self.run_driver([srv]).failed)
        record = self.files["a/text.txt"]
        path = os.path.join(self.target, "a", "text.txt")
        for quick, fetched in ((True, False), (False, True)):
            with self.subTest(quick=quick):
                if os.path.exists(path):
                    os.remove(path)
                srv.reset()
                run = self.run_driver([srv], *(["--quick"] if quick else []))
                self.assertFalse(run.failed, run.text)
                self.assertEqual(os.path.exists(path), fetched)
                self.assertEqual(srv.stats()["requests"], {blob_path(record): 1} if fetched else {})
        self.assert_installed()

    def test_worker_counts(self):
        """szThreads: at most 9 workers and at most that many connections; below 1 the run fails."""
        for threads, workers, fails in ((None, 9, False), ("3", 3, False), ("20", 9, False), ("0", 0, True)):
            with self.subTest(threads=threads):
                remove_dir(self.target)
                # The list comes from the cache, so the workers' connections are the only ones.
                write(os.path.join(self.target, "synccache", self.list), read(os.path.join(self.pub, self.list)))
                srv = self.server()
                run = self.run_driver([srv], *(["--threads", threads] if threads else []))
                self.assertEqual(run.workers, workers)
                self.assertEqual(bool(run.failed), fails, run.text)
                # Each worker keeps one connection for all its files.
                connects = [l for l in run.logs if l.startswith("Connected to: ")]
                self.assertLessEqual(len(connects), workers)
                # The server counts the connection of the stats request too.
                self.assertLessEqual(srv.stats()["max_open"], workers + 1)
                if not fails:
                    self.assert_installed()
                else:
                    self.assertIn("Done downloading %d files, with errors" % 23, run.logs)

    # ---- faults of the servers ----

    def test_server_faults(self):
        """Each fault on server 0 and/or 1, one worker, so attempts are counted exactly. The
        victim is the last file in name order: a worker that gives up on a file ends."""
        victim = self.files["top.txt"]
        path = blob_path(victim)
        other = self.files["a/b/rand.bin"]
        size = int(victim["text"].rsplit("-", 1)[1])
        # Same length, other bytes: the checksum must catch it.
        write(os.path.join(self.pub, "corrupt.bin"), bytes(size))
        write(os.path.join(self.pub, "short.bin"), bytes(size - 1))
        self.addCleanup(os.remove, os.path.join(self.pub, "corrupt.bin"))
        self.addCleanup(os.remove, os.path.join(self.pub, "short.bin"))
        cases = [
            # name, rule on server 0, rule on server 1, requests (s0, s1), run fails, log line
            ("cut short", {"cut": 3}, None, (1, 1), False, None),
            ("one byte short", {"file": "short.bin"}, None, (1, 1), False,
             "File top.txt content length invalid (%d!=%d)" % (size - 1, size)),
            ("missing everywhere", {"status": 404}, {"status": 404}, (3, 2), True,
             "Download file2 %s failed, error code=-3, response:HTTP/1.1 404 Not Found" % victim["text"]),
            ("corrupt everywhere", {"file": "corrupt.bin"}, {"file": "corrupt.bin"}, (3, 2), True,
             "File top.txt checksum invalid (%s!=%s)" % (__import__("hashlib").sha256(bytes(size)).hexdigest(),
                                                             victim["text"])),
        ]
        for name, rule0, rule1, counts, fails, line in cases:
            with self.subTest(name):
                remove_dir(self.target)
                s0 = self.server({path: rule0})
                s1 = self.server({path: rule1} if rule1 else None)
                run = self.run_driver([s0, s1], "--threads", "1")
                self.assertEqual(bool(run.failed), fails, run.text)
                self.assertEqual((s0.stats()["requests"].get(path, 0), s1.stats()["requests"].get(path, 0)), counts)
                self.assertEqual(s0.stats()["requests"].get(blob_path(other)), 1)
                if line:
                    self.assertIn(line, run.logs)
                # Every answer here is a failed attempt or a file: none is an answer without a body.
                self.assertEqual([l for l in run.logs if l.endswith(" not found on server")], [])
                state = self.state()
                if fails:
                    self.assertIn("Done downloading %d files, with errors" % 23, run.logs)
                    self.assertIn("** Couldn't download files **", run.errors)
                    self.assertIn("Exitcode: 1", run.logs)
                    self.assertNotIn(b'"top.txt"', state)
                    self.assertFalse(os.path.exists(os.path.join(self.target, "top.txt")))
                    self.assert_installed([n for n in self.files if n != "top.txt"])
                else:
                    self.assertEqual(state, expected_state(self.files))
                    self.assert_installed()

    def test_file_that_cannot_be_written_fails_the_run(self):
        srv = self.server()
        os.makedirs(os.path.join(self.target, "top.txt"))   # a folder where the file goes
        run = self.run_driver([srv])
        self.assertTrue(run.failed, run.text)
        self.assertTrue(any(l.startswith("Error writing ") and "top.txt" in l for l in run.logs), run.text)
        self.assertNotIn(b'"top.txt"', self.state())
        # Every attempt of a failed write tries the servers again, like a failed request.
        self.assertGreaterEqual(srv.stats()["requests"]["/" + self.files["top.txt"]["text"]], 3)

    def test_hostile_lists(self):
        """Records the servers cannot be trusted with: each fails the run cleanly, nothing is
        written outside the target, and the process does not crash."""
        huge = "ab" * 32 + "-3000000000"
        cases = [
            # (the file table already drops names with ".." pieces)
            ("name with a drive", '"Z:/%s/evil.txt",%s,0,1,1\r\n' % (self.base.strip("/"), self.files["top.txt"]["text"]),
             None, "Refusing file name Z:/"),
            ("larger than memory", '"huge.bin",%s,0,1,1\r\n' % huge,
             {"/" + huge: {"raw": "HTTP/1.1 200 OK\r\nContent-Length: 3000000000\r\n\r\nxyz"}},
             "Download file2 %s failed, error code=-4" % huge),
            ("compressed, larger than memory", '"huge.bin",%s,40,1,1\r\n' % huge,
             {"/" + huge + ".bz2": {"file": self.files["a/text.txt"]["text"] + ".bz2"}},
             "Download file2 %s failed" % huge),
        ]
        for name, line, script, log in cases:
            with self.subTest(name):
                remove_dir(self.target)
                list_name = "hostile_%d.txt" % cases.index((name, line, script, log))
                write(os.path.join(self.pub, list_name), line.encode())
                self.addCleanup(os.remove, os.path.join(self.pub, list_name))
                srv = self.server(script)
                run = self.run_driver([srv], "--threads", "1", lists=list_name)
                self.assertTrue(run.failed, run.text)
                self.assertTrue(any(l.startswith(log) for l in run.logs), run.text)
                self.assertFalse(os.path.exists(os.path.join(self.base, "evil.txt")))
                self.assertFalse(os.path.exists(os.path.join(os.path.dirname(self.base), "evil.txt")))
                state = os.path.join(self.target, "synccache", "currentfiles.txt")
                self.assertEqual(read(state) if os.path.exists(state) else b"", b"")

    def test_refused_names_fail_the_run(self):
        """Device names, the downloader's own files, two names for one file as Windows compares
        names, and records that climb out: the list is refused whole when it is read, the run
        fails naming the record, nothing is fetched, and the installed state stays as it was."""
        template = tempfile.mkdtemp(prefix="installed-", dir=self.base)
        self.addCleanup(remove_dir, template)
        self.assertFalse(self.run_driver([self.server()], target=template).failed)
        installed = read(os.path.join(template, "synccache", "currentfiles.txt"))
        cases = [
            # name, list names (relative mode), start of the log line
            ("device", ["NUL"], "Refusing file name NUL"),
            ("device with an extension in a folder", ["top.txt", "sub/nul.txt"], "Refusing file name sub/nul.txt"),
            ("device in another case, trailing blank", ["Aux .log"], "Refusing file name Aux .log"),
            ("console input", ["CONIN$"], "Refusing file name CONIN$"),
            ("a fake state", ["synccache/currentfiles.txt"],
             "Refusing file name synccache/currentfiles.txt: the program keeps synccache for itself"),
            ("the state's backup as a folder", ["SyncCache/currentfiles.txt.1/x"],
             "Refusing file name SyncCache/currentfiles.txt.1/x: the program keeps synccache"),
            ("the log", ["FetchBatch.log."], "Refusing file name FetchBatch.log.: the program keeps fetchbatch.log"),
            ("case", ["Dup.txt", "dup.txt"], "Refusing file names Dup.txt and dup.txt: they name the same file"),
            ("separators", ["d/x.txt", "../d\\x.txt"], "Refusing file names d/x.txt and d\\x.txt"),
            ("trailing dot", ["t.txt", "t.txt."], "Refusing file names t.txt and t.txt.: they name the same file"),
            ("file and folder", ["p", "p/q.txt"], "Refusing file name p: p/q.txt needs it as a folder"),
            ("climbing with backslashes", ["..\\up2.txt"], "Refusing file name ..\\up2.txt"),
            ("climbing midway", ["sub/../../up3.txt"], "Refusing file name sub/../../up3.txt"),
        ]
        text = self.files["top.txt"]["text"]
        for i, (name, names, log) in enumerate(cases):
            with self.subTest(name):
                remove_dir(self.target)
                shutil.copytree(template, self.target)
                list_name = "refused_%d.txt" % i
                write(os.path.join(self.pub, list_name),
                      "".join('"%s",%s,0,1,1\r\n' % (n, text) for n in names).encode())
                self.addCleanup(os.remove, os.path.join(self.pub, list_name))
                srv = self.server()
                run = self.run_driver([srv], lists=list_name)
                self.assertTrue(run.failed, run.text)
                self.assertTrue(run.has(log), run.text)
                self.assertIn("Error fetching info file", run.errors)
                self.assertEqual(srv.stats()["requests"], {"/" + list_name: 1})
                self.assertEqual(self.state(), installed)
                self.assertFalse(os.path.exists(self.journal()))
                for n in ("dup.txt", "Dup.txt", "t.txt", "p", "up2.txt", "up3.txt"):
                    self.assertFalse(os.path.exists(os.path.join(self.target, n)), n)
                self.assertFalse(os.path.exists(os.path.join(os.path.dirname(self.target), "up3.txt")))

    def test_publish_refuses_trees_the_readers_refuse(self):
        """publish.py stops with a message and a non-zero exit on a tree with two names for one
        file on Windows, a device name, or one of the downloader's own files; nothing is published."""
        cases = [
            ("case", ["Dup.txt", "dup.txt"], "'Dup.txt' and 'dup.txt' name the same file on Windows"),
            ("trailing dot", ["t.txt", "t.txt."], "name the same file on Windows"),
            ("separators", ["d/x.txt", "d\\x.txt"], "name the same file on Windows"),
            ("file and folder", ["P", "p/q.txt"], "'P' is a file but 'p/q.txt' needs it as a folder"),
            ("device", ["sub/nul.txt"], "'sub/nul.txt' names a Windows device"),
            ("device with a superscript", ["COM\u00b9"], "names a Windows device"),
            ("own file", ["SyncCache/currentfiles.txt"], "takes the downloader's own synccache"),
        ]
        for name, files, message in cases:
            with self.subTest(name):
                src = tempfile.mkdtemp(prefix="src-", dir=self.base)
                out = tempfile.mkdtemp(prefix="pub-", dir=self.base)
                self.addCleanup(remove_dir, src)
                self.addCleanup(remove_dir, out)
                for f in files:
                    write(os.path.join(src, *f.split("/")), b"x")
                p = subprocess.run([sys.executable, PUBLISH, "--out", out, "--list", "M=" + src],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                self.assertNotEqual(p.returncode, 0, p.stdout)
                self.assertIn(message, p.stderr)
                self.assertEqual(os.listdir(out), [])

    def test_list_names_that_leave_the_cache_are_refused(self):
        """A list name is a file name in the cache: one that climbs out of it is never fetched
        and fails the run, for lists and bundle manifests alike. The server would answer it."""
        names = ["../escaped.txt", "../../escaped.txt", "..\\..\\escaped.txt", "sub/../../escaped.txt"]
        for name in names:
            for bundle in (False, True):
                with self.subTest(name=name, bundle=bundle):
                    remove_dir(self.target)
                    srv = self.server({"/" + name: {"file": self.list}})
                    extra = ["--bundle", "bundle", "--bundle-only"] if bundle else []
                    run = self.run_driver([srv], *extra, lists=name)
                    self.assertTrue(run.failed, run.text)
                    self.assertIn("Refusing list name %s" % name, run.logs)
                    self.assertIn("Error fetching manifest file" if bundle else "Error fetching info file",
                                  run.errors)
                    self.assertEqual(srv.stats()["requests"], {})
                    cache = os.path.join(self.target, "synccache")
                    written = os.path.normpath(os.path.join(cache, name.replace("\\", "/")))
                    self.assertFalse(os.path.exists(written), written)
                    self.assertFalse(os.path.exists(os.path.join(self.base, "escaped.txt")))

    def test_list_fetch(self):
        """Lists are tried 2 x servers + 1 times over the servers in turn; after a list that
        fails, the next is not fetched; a cached list is never requested."""
        s0 = self.server({"/missing.txt": {"status": 404}})
        s1 = self.server({"/missing.txt": {"status": 404}})
        run = self.run_driver([s0, s1], lists="missing.txt," + self.list)
        self.assertTrue(run.failed)
        self.assertEqual((s0.stats()["requests"], s1.stats()["requests"]), ({"/missing.txt": 3}, {"/missing.txt": 2}))
        self.assertIn("Error fetching info file", run.errors)
        self.assertIn("Download file1 missing.txt failed, error code=-3, response: HTTP/1.1 404 Not Found", run.logs)
        self.assertFalse(os.path.exists(os.path.join(self.target, "synccache", "missing.txt")))

        run = self.run_driver([s0, s1], lists=self.list + ",missing.txt")
        self.assertTrue(run.failed)
        self.assertEqual(s0.stats()["requests"].get("/" + self.list), 1)
        self.assert_installed()      # the lists that were fetched are still processed
        s0.reset()
        self.run_driver([s0, s1])
        self.assertEqual(s0.stats()["requests"], {})

    def test_no_servers(self):
        run = self.run_driver([])
        self.assertTrue(run.failed)
        self.assertEqual(run.logs[-2:], ["Exitcode: 1", ""])
        self.assertFalse(any(l.startswith("Fetching") for l in run.logs))

    # ---- state and journal ----

    def test_journal_kept_when_the_state_cannot_be_written(self):
        """A journal whose fold cannot be written stays, and a later run folds it."""
        srv = self.server()
        self.assertFalse(self.run_driver([srv]).failed)
        # As after an interrupted run: the file is in place and only the journal records it.
        victim = b'"a/text.txt",'
        state = os.path.join(self.target, "synccache", "currentfiles.txt")
        lines = read(state).splitlines(True)
        line = [l for l in lines if l.startswith(victim)][0]
        before = b"".join(l for l in lines if not l.startswith(victim))
        write(state, before)
        write(self.journal(), line)
        # Neither ".1" nor the state can be written while a folder holds the name.
        blocker = state + ".1"
        os.makedirs(blocker)
        srv.reset()
        run = self.run_driver([srv])
        self.assertTrue(run.failed, run.text)
        self.assertTrue(run.has("Couldn't write "), run.text)
        self.assertEqual(read(self.journal()), line)
        self.assertEqual(self.state(), before)
        self.assertEqual(srv.stats()["requests"], {})
        os.rmdir(blocker)
        run = self.run_driver([srv])
        self.assertFalse(run.failed, run.text)
        self.assertFalse(os.path.exists(self.journal()))
        self.assertEqual(srv.stats()["requests"], {})
        self.assertEqual(self.state(), expected_state(self.files))

    def test_state_from_backup_when_state_missing(self):
        srv = self.server()
        self.assertFalse(self.run_driver([srv]).failed)
        state = os.path.join(self.target, "synccache", "currentfiles.txt")
        os.rename(state, state + ".1")
        srv.reset()
        run = self.run_driver([srv])
        self.assertFalse(run.failed, run.text)
        self.assertEqual(srv.stats()["requests"], {})
        self.assertEqual(self.state(), expected_state(self.files))
        self.assertFalse(os.path.exists(state + ".1"))

    def test_killed_during_a_transfer(self):
        """The driver killed while a trickled file arrives: the state stays whole, the journal
        keeps the files stored so far, and the next run fetches only the rest."""
        old = self.server()
        self.assertFalse(self.run_driver([old]).failed)
        before = self.state()
        src2 = os.path.join(self.base, "src-killed")
        pub2 = os.path.join(self.base, "pub-killed")
        self.addCleanup(remove_dir, src2)
        self.addCleanup(remove_dir, pub2)
        make_source(src2, 2, big=600000)
        dist2 = publish(pub2, src2)
        big = dist2["files"]["big/big.bin"]
        slow = self.server({blob_path(big): {"trickle": [10000, 0.2]}}, root=pub2)
        args = ["--target", windows_path(self.target), "--lists", dist2["uniquefile"], "--server", slow.name]
        proc = self.wine.start(DRIVER, *args)
        try:
            changed = [n for n in dist2["files"] if not skipped(n) and n != "big/big.bin"
                       and dist2["files"][n]["text"] != self.files.get(n, {}).get("text")]
            stored = lambda: (os.path.exists(self.journal())  # noqa: E731
                              and read(self.journal()).count(b"\r\n") >= len(changed))
            self.assertTrue(wait_for(stored, 60), "the other files were not stored")
            self.assertTrue(wait_for(lambda: slow.stats()["requests"].get(blob_path(big)), 30))
        finally:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait(30)
        self.assertEqual(self.state(), before)
        journal = read(self.journal())
        self.assertNotIn(b"big/big.bin", journal)

        slow.stop()
        srv = self.server(root=pub2)
        run = self.run_driver([srv], lists=dist2["uniquefile"])
        self.assertFalse(run.failed, run.text)
        self.assertEqual(srv.stats()["requests"], {blob_path(big): 1})
        self.assertEqual(self.state(), expected_state(dist2["files"]))
        self.assertFalse(os.path.exists(self.journal()))
        for name in dist2["files"]:
            if not skipped(name):
                self.assertEqual(read(os.path.join(self.target, *name.split("/"))),
                                 read(os.path.join(src2, *name.split("/"))), name)


def make_bundle(out, name, entries):
    """A hand-made manifest (plain names, the file-table text) and its bundle: entries are
    (name, listed bytes, bytes in the bundle); the bundle holds the latter back to back."""
    lines = b"".join(b'"%s",%s-%d,0,1,1\r\n' % (n.encode(), hashlib.sha256(d).hexdigest().encode(), len(d))
                     for n, d, _ in entries)
    write(os.path.join(out, name + ".txt"), lines)
    write(os.path.join(out, name + ".bz2"), bz2.compress(b"".join(b for _, _, b in entries)))
    return name + ".txt"


BZ_BLOCK = format(0x314159265359, "048b")
BZ_END = format(0x177245385090, "048b")


def bz2_block(data):
    """data compressed as one bzip2 block: (its bits, its CRC)."""
    bits = "".join(format(b, "08b") for b in bz2.compress(data, 9))
    start, end = bits.index(BZ_BLOCK, 32), bits.rindex(BZ_END)
    return bits[start:end], int(bits[start + 48:start + 80], 2)


def zero_stream(head, zeros, tail, block=4000000):
    """One bzip2 stream of head, that many zero bytes and tail, in a few kB: the blocks are
    compressed once and repeated (each block decodes on its own), not gigabytes compressed."""
    first = min(zeros, block - len(head))
    full, rest = divmod(zeros - first, block)
    blocks = [bz2_block(head + bytes(first))] + [bz2_block(bytes(block))] * full + [bz2_block(bytes(rest) + tail)]
    crc, bits = 0, ["".join(format(b, "08b") for b in b"BZh9")]
    for b, c in blocks:
        bits.append(b)
        crc = (((crc << 1) | (crc >> 31)) & 0xFFFFFFFF) ^ c
    bits.append(BZ_END + format(crc, "032b"))
    text = "".join(bits)
    text += "0" * (-len(text) % 8)
    return int(text, 2).to_bytes(len(text) // 8, "big")


def progress(run):
    """The driver's PROGRESS lines: (bytes done, bytes total, files done, files total)."""
    return [tuple(int(v) for v in l.split()[1:]) for l in run.text.splitlines() if l.startswith("PROGRESS ")]


class BundleTest(E2ETest):
    """Bundles: a manifest and one bzip2 stream of its files, read while it arrives."""

    def run_bundle(self, servers, bundle, *extra, lists=None):
        run = self.run_driver(servers, "--bundle", bundle, *extra, lists=lists)
        m = re.search(r"^BUNDLE ok=(\d)", run.text, re.M)
        run.bundle_ok = bool(m and m.group(1) == "1")
        return run

    def test_fresh_install_through_the_bundle(self):
        src = os.path.join(self.base, "src-bundle")
        pub = os.path.join(self.base, "pub-bundle")
        self.addCleanup(remove_dir, src)
        self.addCleanup(remove_dir, pub)
        make_source(src, 3)
        out = subprocess.run([sys.executable, PUBLISH, "--out", pub, "--list", "B=" + src, "--bundle", "B"],
                             check=True, stdout=subprocess.PIPE)
        dist = json.loads(out.stdout)["lists"]["B"]
        srv = self.server(root=pub)
        run = self.run_bundle([srv], dist["bundle"], lists=dist["uniquefile"])
        self.assertTrue(run.bundle_ok, run.text)
        self.assertFalse(run.failed, run.text)
        self.assertIn("Download bundle success", run.logs)
        self.assertEqual(srv.stats()["requests"], {"/" + dist["uniquefile"]: 1, "/" + dist["bundle"] + ".bz2": 1})
        self.assertEqual(self.state(), expected_state(dist["files"]))
        for name in dist["files"]:
            path = os.path.join(self.target, *name.split("/"))
            if skipped(name):
                self.assertFalse(os.path.exists(path), name)
            else:
                self.assertEqual(read(path), read(os.path.join(src, *name.split("/"))), name)

    def test_worth_it_rule(self):
        """100 files: 12 needed fetch no bundle (the run fetches them singly), 13 fetch it."""
        src = os.path.join(self.base, "src-hundred")
        pub = os.path.join(self.base, "pub-hundred")
        self.addCleanup(remove_dir, src)
        self.addCleanup(remove_dir, pub)
        for i in range(100):
            write(os.path.join(src, "f%03d.dat" % i), b"file %d " % i * 30)
        out = subprocess.run([sys.executable, PUBLISH, "--out", pub, "--list", "H=" + src, "--bundle", "H",
                              "--compress", "never"], check=True, stdout=subprocess.PIPE)
        dist = json.loads(out.stdout)["lists"]["H"]
        srv = self.server(root=pub)
        self.assertTrue(self.run_bundle([srv], dist["bundle"], lists=dist["uniquefile"]).bundle_ok)
        state = os.path.join(self.target, "synccache", "currentfiles.txt")
        whole = read(state).splitlines(True)
        for needed, bundled in ((12, False), (13, True)):
            with self.subTest(needed=needed):
                write(state, b"".join(whole[needed:]))
                srv.reset()
                run = self.run_bundle([srv], dist["bundle"], lists=dist["uniquefile"])
                self.assertTrue(run.bundle_ok, run.text)
                self.assertFalse(run.failed, run.text)
                self.assertIn("Bundle contains 100 files. We need %d of them" % needed, run.logs)
                requests = srv.stats()["requests"]
                self.assertEqual(requests.pop("/" + dist["bundle"] + ".bz2", 0), 1 if bundled else 0)
                self.assertEqual(len(requests), 0 if bundled else needed, requests)
                self.assertEqual(read(state), b"".join(whole))

    def test_bundle_faults(self):
        a, b, c = b"A" * 10000, b"B" * 777, bytes(range(256)) * 40
        bad_c = c[:100] + b"x" + c[101:]
        noise = os.urandom(6000)
        cases = [
            # name, entries, bundle bytes on server 0 instead, rule on both, ok, requests (s0, s1), log line
            ("wrong checksum on server 0", [("a.dat", a, a), ("b.dat", b, b), ("c.dat", c, c)],
             [("a.dat", a, a), ("b.dat", b, b), ("c.dat", c, bad_c)], None, True, (1, 1),
             "Post-process error on 2th file starting at offset %d" % (len(a) + len(b) + len(c))),
            ("gap of 10000 bytes", [("a.dat", a, a), ("a.dat", a, b"G" * 10000), ("b.dat", b, b)], None, None,
             True, (1, 0), "Download bundle success"),
            ("empty manifest", [], None, None, True, (1, 0), "Download bundle success"),
            ("cut short everywhere", [("a.dat", a, a), ("c.dat", c, os.urandom(9000))], None, {"cut": 200},
             False, (2, 2), "Read error on 0th file"),
            # 500 bytes a second, under the driver's floor of 1 KB a second: each attempt is cut
            # off within about a second instead of taking the whole bundle's time.
            ("trickled everywhere", [("r.dat", noise, noise)], None, {"trickle": [50, 0.1]}, False, (2, 2),
             "Read error on 0th file"),
        ]
        for name, entries, bad, both, ok, counts, line in cases:
            with self.subTest(name):
                remove_dir(self.target)
                pub = tempfile.mkdtemp(prefix="pub-", dir=self.base)
                self.addCleanup(remove_dir, pub)
                manifest = make_bundle(pub, "bundle", entries)
                if bad:
                    make_bundle(pub, "bad", bad)
                script0 = {"/bundle.bz2": dict(both or {}, **({"file": "bad.bz2"} if bad else {}))}
                s0 = self.server(script0, root=pub)
                s1 = self.server({"/bundle.bz2": both} if both else None, root=pub)
                start = time.monotonic()
                run = self.run_bundle([s0, s1], "bundle", "--bundle-only", "--low-speed", "1024,1000",
                                      "--progress", lists=manifest)
                self.assertLess(time.monotonic() - start, 30, "the bundle was not cut off in time")
                self.assertEqual(run.bundle_ok, ok, run.text)
                self.assertIn(line, run.logs)
                self.assertEqual((s0.stats()["requests"].get("/bundle.bz2", 0),
                                  s1.stats()["requests"].get("/bundle.bz2", 0)), counts)
                # Progress never passes its totals, and a new attempt counts from 0 again: at
                # the end each needed file is counted once.
                reports = progress(run)
                self.assertTrue(reports, run.text)
                for done, total, files, files_total in reports:
                    self.assertLessEqual(done, total, run.text)
                    self.assertLessEqual(files, files_total, run.text)
                if ok:
                    for n, data, _ in entries:
                        self.assertEqual(read(os.path.join(self.target, n)), data)
                    unique = {n: len(d) for n, d, _ in entries}
                    self.assertEqual(reports[-1], (sum(unique.values()),) * 2 + (len(unique),) * 2)

    def test_refused_names_in_a_manifest_fail_the_bundle(self):
        """A manifest is a list too: a refused record fails the bundle before it is fetched, and
        no file of it is stored."""
        a = b"A" * 1000
        cases = [
            ("climbing with backslashes", "..\\up2.txt", "Refusing file name ..\\up2.txt"),
            ("climbing midway", "sub/../../up3.txt", "Refusing file name sub/../../up3.txt"),
            ("device", "sub/COM1.txt", "Refusing file name sub/COM1.txt"),
            ("a fake state", "synccache/currentfiles.txt", "Refusing file name synccache/currentfiles.txt: "),
            ("one file twice", "A.DAT", "Refusing file names A.DAT and a.dat: they name the same file"),
        ]
        for name, bad, log in cases:
            with self.subTest(name):
                remove_dir(self.target)
                pub = tempfile.mkdtemp(prefix="pub-", dir=self.base)
                self.addCleanup(remove_dir, pub)
                manifest = make_bundle(pub, "bundle", [("a.dat", a, a), (bad, a, a)])
                srv = self.server(root=pub)
                run = self.run_bundle([srv], "bundle", "--bundle-only", lists=manifest)
                self.assertFalse(run.bundle_ok, run.text)
                self.assertTrue(run.has(log), run.text)
                self.assertIn("Error fetching manifest file", run.errors)
                self.assertNotIn("/bundle.bz2", srv.stats()["requests"])
                self.assertFalse(os.path.exists(os.path.join(self.target, "a.dat")))
                self.assertFalse(os.path.exists(os.path.join(os.path.dirname(self.target), "up3.txt")))

    def test_file_larger_than_a_read_is_refused(self):
        pub = tempfile.mkdtemp(prefix="pub-", dir=self.base)
        self.addCleanup(remove_dir, pub)
        write(os.path.join(pub, "huge.txt"), b'"h.dat",%s-3000000000,0,1,1\r\n' % (b"ab" * 32))
        srv = self.server(root=pub)
        run = self.run_bundle([srv], "huge", "--bundle-only", lists="huge.txt")
        self.assertFalse(run.bundle_ok)
        self.assertIn("Bundle manifest huge.txt is too large: refused", run.logs)
        self.assertNotIn("/huge.bz2", srv.stats()["requests"])

    def test_files_past_2_and_4_gigabytes(self):
        """A bundle of more than 4 GB (zeros under a skipped path fill it): the files that start
        below 2 GB come from it, those past 2 GB and past 4 GB (where a 32-bit offset would wrap)
        from the file run, and the state lists them all."""
        pub = tempfile.mkdtemp(prefix="pub-", dir=self.base)
        self.addCleanup(remove_dir, pub)
        data = {n: (n.encode() * 1000)[:1000] for n in ("a", "b", "c", "d", "e")}
        text = {n: "%s-1000" % hashlib.sha256(d).hexdigest() for n, d in data.items()}
        for n, d in data.items():
            write(os.path.join(pub, text[n]), d)
        pad1 = 2 ** 31 - 3000    # b then starts at 2 GB - 2000, c at 2 GB - 1000, d at 2 GB
        pad2 = 2 ** 31           # e at 4 GB + 1000
        zero = "0" * 64
        lines = ['"a.dat",%s,0,1,1' % text["a"], '"_servers/website/pad1.bin",%s-%d,0,1,1' % (zero, pad1),
                 '"../../b.dat",%s,0,1,1' % text["b"], '"c.dat",%s,0,1,1' % text["c"],
                 '"d.dat",%s,0,1,1' % text["d"], '"_servers/website/pad2.bin",%s-%d,0,1,1' % (zero, pad2),
                 '"../../e.dat",%s,0,1,1' % text["e"]]
        write(os.path.join(pub, "big.txt"), "".join(l + "\r\n" for l in lines).encode())
        # The stream holds what the entries read: up to the end of c, at 2 GB.
        write(os.path.join(pub, "big.bz2"), zero_stream(data["a"], pad1, data["b"] + data["c"]))
        srv = self.server(root=pub)
        run = self.run_bundle([srv], "big", "--progress", lists="big.txt")
        self.assertTrue(run.bundle_ok, run.text)
        self.assertFalse(run.failed, run.text)
        self.assertIn("2 of the needed files start past 2 GB in the bundle; they are fetched one by one", run.logs)
        self.assertEqual(srv.stats()["requests"], {"/big.txt": 1, "/big.bz2": 1, "/" + text["d"]: 1,
                                                   "/" + text["e"]: 1})
        for n, d in data.items():
            self.assertEqual(read(os.path.join(self.target, n + ".dat")), d, n)
        self.assertEqual(self.state(), b"".join(b'"%s.dat",%s,0,1,1\r\n' % (n.encode(), text[n].encode())
                                                for n in sorted(data)))
        # The bundle reports the three files it holds of the five needed.
        bundle_end = [p for l, p in zip(run.text.splitlines(), run.text.splitlines()[1:])
                      if l.startswith("BUNDLE ")]
        self.assertEqual(bundle_end, ["PROGRESS 3000 5000 3 5"])


REPACKER_FILES = ("texforge.dll", "globals.dll", "PhysX3_x86.dll", "PhysX3Cooking_x86.dll", "PhysX3Gpu_x86.dll")


class PackTest(E2ETest):
    """Image packs handed to the repacker (the texforge.dll stand-in, which logs beside itself
    and fails the packs its control file names)."""

    def setUp(self):
        super().setUp()
        standins = os.path.join(BUILD, "standins")
        texforge = os.path.join(standins, "texforge", "texforge.dll")
        globals_dll = os.path.join(standins, "globals", "globals.dll")
        if not (os.path.exists(texforge) and os.path.exists(globals_dll)):
            self.skipTest("the texforge.dll and globals.dll stand-ins are not built")
        self.src = tempfile.mkdtemp(prefix="src-packs-", dir=self.base)
        self.pub = tempfile.mkdtemp(prefix="pub-packs-", dir=self.base)
        self.addCleanup(remove_dir, self.src)
        self.addCleanup(remove_dir, self.pub)
        # The three PhysX libraries are only copied: any small DLL stands for them.
        for name, origin in zip(REPACKER_FILES, (texforge, globals_dll, texforge, texforge, texforge)):
            shutil.copy(origin, os.path.join(self.src, name))
        write(os.path.join(self.src, "_packed", "gfx", "pack.bin"), b"first part " * 100)
        write(os.path.join(self.src, "_packed", "gfx", "pack.bin.2"), b"second part " * 100)
        write(os.path.join(self.src, "_packed", "gfx", "a.dds"), b"not a pack part")
        write(os.path.join(self.src, "plain.txt"), b"plain")
        self.dist = publish(self.pub, self.src)

    def program_folder(self, folder=None):
        """A copy of the driver in its own folder: the repacker files are copied beside it."""
        folder = folder or tempfile.mkdtemp(prefix="prog-", dir=self.base)
        self.addCleanup(remove_dir, folder)
        os.makedirs(folder, exist_ok=True)
        shutil.copy(DRIVER, os.path.join(folder, "dldriver.exe"))
        return folder

    def run_from(self, folder, srv, dist=None, *extra):
        args = ["--target", windows_path(self.target), "--lists", (dist or self.dist)["uniquefile"],
                "--server", srv.name, *extra]
        rc, text = self.wine.run(os.path.join(folder, "dldriver.exe"), *args, timeout=300)
        run = Run(rc, text)
        self.assertIn(run.rc, (0, 1), text)
        return run

    def pack_flags(self, folder="gfx"):
        prefix = b'"_packed/%spack.bin' % (folder.encode() + b"/" if folder else b"")
        return [int(l.rsplit(b",", 1)[1]) for l in self.state().splitlines() if l.startswith(prefix)]

    def publish_pack(self, folder):
        """A distribution of the five repacker files and a pack of two parts in that folder of
        "_packed" ("" for its top), published to a folder of its own: (its folder, its list)."""
        src = tempfile.mkdtemp(prefix="src-pack-", dir=self.base)
        pub = tempfile.mkdtemp(prefix="pub-pack-", dir=self.base)
        self.addCleanup(remove_dir, src)
        self.addCleanup(remove_dir, pub)
        for name in REPACKER_FILES:
            shutil.copy(os.path.join(self.src, name), os.path.join(src, name))
        write(os.path.join(src, "_packed", folder, "pack.bin"), b"first part " * 100)
        write(os.path.join(src, "_packed", folder, "pack.bin.2"), b"second part " * 100)
        return pub, publish(pub, src)

    def repacker_log(self, folder):
        path = os.path.join(folder, "texforge.log")
        return read(path).decode("latin-1").replace("\r", "").splitlines() if os.path.exists(path) else []

    def test_pack_handed_once_and_marked(self):
        """A pack is handed by its name inside "_packed", in a folder of it or at its top."""
        for folder, pack in (("gfx", "gfx\\pack.bin"), ("", "pack.bin")):
            with self.subTest(folder=folder):
                remove_dir(self.target)
                os.makedirs(self.target)
                pub, dist = (self.pub, self.dist) if folder == "gfx" else self.publish_pack(folder)
                srv = self.server(root=pub)
                prog = self.program_folder()
                run = self.run_from(prog, srv, dist)
                self.assertFalse(run.failed, run.text)
                for name in REPACKER_FILES:
                    self.assertIn("Copied %s to executable directory" % name, run.logs)
                    self.assertEqual(read(os.path.join(prog, name)), read(os.path.join(self.src, name)))
                log = self.repacker_log(prog)
                self.assertEqual([l for l in log if l.startswith("pack ")], ["pack " + pack], log)
                self.assertIn("Repack RepackDownloadedFiles packs=1", log)
                self.assertEqual(log[-1], "Release")
                self.assertIn("Repack: 1/1", run.logs)
                self.assertEqual(self.pack_flags(folder), [1, 1])

    def test_repacker_files_are_queued_first(self):
        # One worker takes the queue in its order: the five repacker files come before the
        # packs and the plain file, although "_packed/" and "plain.txt" sort between them.
        srv = self.server(root=self.pub)
        run = self.run_from(self.program_folder(), srv, None, "--threads", "1")
        self.assertFalse(run.failed, run.text)
        done = [re.split(r"[\\/]", m.group(1))[-1] for m in
                (re.match(r'^download file ".*" to (.*) -- Done!', l) for l in run.logs) if m]
        self.assertGreater(len(done), len(REPACKER_FILES), run.logs)
        self.assertEqual(sorted(done[:len(REPACKER_FILES)]), sorted(REPACKER_FILES), done)

    def test_failed_repack_is_retried_without_download(self):
        srv = self.server(root=self.pub)
        prog = self.program_folder()
        write(os.path.join(prog, "texforge.ctl"), b"fail gfx\\pack.bin\n")
        run = self.run_from(prog, srv)
        self.assertIn("RepackFailed gfx\\pack.bin", run.logs)
        self.assertEqual(self.pack_flags(), [0, 0])
        os.remove(os.path.join(prog, "texforge.ctl"))
        srv.reset()
        run = self.run_from(prog, srv)
        self.assertFalse(run.failed, run.text)
        self.assertEqual(srv.stats()["requests"], {})
        self.assertEqual([l for l in self.repacker_log(prog) if l.startswith("pack ")], ["pack gfx\\pack.bin"] * 2)
        self.assertEqual(self.pack_flags(), [1, 1])

    def test_first_install_through_a_bundle(self):
        """The repacker files arrive in the bundle itself: it is loaded once they are stored,
        also when some were installed before (the bundle stores those again)."""
        out = subprocess.run([sys.executable, PUBLISH, "--out", self.pub, "--list", "P=" + self.src, "--bundle", "P"],
                             check=True, stdout=subprocess.PIPE)
        dist = json.loads(out.stdout)["lists"]["P"]
        physx = [n for n in REPACKER_FILES if n.startswith("PhysX")]
        for installed in ([], physx):
            with self.subTest(installed=installed):
                remove_dir(self.target)
                os.makedirs(self.target)
                srv = self.server(root=self.pub)
                prog = self.program_folder()
                if installed:
                    part = tempfile.mkdtemp(prefix="src-part-", dir=self.base)
                    self.addCleanup(remove_dir, part)
                    for name in installed:
                        shutil.copy(os.path.join(self.src, name), os.path.join(part, name))
                    first = self.run_from(prog, srv, publish(self.pub, part, "Part"))
                    self.assertFalse(first.failed, first.text)
                    srv.reset()
                args = ["--target", windows_path(self.target), "--lists", dist["uniquefile"], "--server", srv.name,
                        "--bundle", dist["bundle"]]
                rc, text = self.wine.run(os.path.join(prog, "dldriver.exe"), *args, timeout=300)
                self.assertIn("BUNDLE ok=1", text)
                self.assertIn("RESULT failed=0", text)
                self.assertEqual(set(srv.stats()["requests"]),
                                 {"/" + dist["uniquefile"], "/" + dist["bundle"] + ".bz2"})
                self.assertEqual([l for l in self.repacker_log(prog) if l.startswith("pack ")], ["pack gfx\\pack.bin"])
                self.assertEqual(self.pack_flags(), [1, 1])

    def test_pack_queued_by_an_earlier_run_is_handed_once(self):
        """A bundle without the repacker files queues its pack but cannot hand it over; the run
        after it on the same downloader brings the repacker files and hands the pack once,
        even when the repack fails and the pack stays pending."""
        src = tempfile.mkdtemp(prefix="src-only-pack-", dir=self.base)
        repacker = tempfile.mkdtemp(prefix="src-repacker-", dir=self.base)
        self.addCleanup(remove_dir, src)
        self.addCleanup(remove_dir, repacker)
        for part in ("pack.bin", "pack.bin.2"):
            write(os.path.join(src, "_packed", "gfx", part), read(os.path.join(self.src, "_packed", "gfx", part)))
        for name in REPACKER_FILES:
            shutil.copy(os.path.join(self.src, name), os.path.join(repacker, name))
        out = subprocess.run([sys.executable, PUBLISH, "--out", self.pub, "--list", "OnlyPack=" + src, "--bundle",
                              "OnlyPack", "--list", "Repacker=" + repacker], check=True, stdout=subprocess.PIPE)
        lists = json.loads(out.stdout)["lists"]
        srv = self.server(root=self.pub)
        prog = self.program_folder()
        write(os.path.join(prog, "texforge.ctl"), b"fail gfx\\pack.bin\n")
        args = ["--target", windows_path(self.target), "--server", srv.name, "--threads", "1",
                "--lists", lists["OnlyPack"]["uniquefile"] + "," + lists["Repacker"]["uniquefile"],
                "--bundle", lists["OnlyPack"]["bundle"]]
        rc, text = self.wine.run(os.path.join(prog, "dldriver.exe"), *args, timeout=300)
        run = Run(rc, text)
        self.assertIn("BUNDLE ok=1", text)
        self.assertEqual([l for l in self.repacker_log(prog) if l.startswith("pack ")], ["pack gfx\\pack.bin"],
                         self.repacker_log(prog))
        self.assertIn("Repack: 1/1", run.logs)
        self.assertEqual(self.pack_flags(), [0, 0])

    def test_running_from_the_target_copies_nothing(self):
        srv = self.server(root=self.pub)
        self.program_folder(self.target)
        run = self.run_from(self.target, srv)
        self.assertFalse(run.failed, run.text)
        self.assertFalse(any(l.startswith("Copying ") for l in run.logs), run.text)
        self.assertIn("pack gfx\\pack.bin", self.repacker_log(self.target))
        self.assertEqual(self.pack_flags(), [1, 1])


def main():
    global BUILD, DRIVER
    args, rest = driver_args("driver")
    BUILD, DRIVER = args.build, args.driver
    return run_tests_with_services(BUILD, sys.modules[__name__], [sys.argv[0]] + rest)


if __name__ == "__main__":
    sys.exit(main())
