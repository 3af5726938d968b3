#!/usr/bin/env python3
"""End to end: the real ivlsync.exe in update mode ("/a") under Wine against tools/fileserver.py
serving a distribution made by tools/publish.py: the settings file, the four distributions, the
exit code, and the progress window read and pressed through the Win32 API (winprobe.exe).

    e2e_update_mode.py --build BUILD --exe PATH --probe PATH [unittest arguments]
"""
import filecmp
import json
import os
import random
import re
import shutil
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(TOP, "tests", "lib"))
from fileservers import FileServer  # noqa: E402
from winetest import Wine, driver_args, remove_dir, run_tests_with_services, scratch_dir, wait_for, windows_path, wine_command  # noqa: E402

BUILD = EXE = PROBE = None
# The detail line and the Close button (button 2 once the job has ended) share id 1003.
IDC_LOG, IDC_DETAIL, IDC_CLOSE, IDC_BAR, IDC_DETAILS = 1001, 1003, 1003, 1004, 1005
PUBLISH = os.path.join(TOP, "tools", "publish.py")
REPACKER_FILES = ("texforge.dll", "globals.dll", "PhysX3_x86.dll", "PhysX3Cooking_x86.dll", "PhysX3Gpu_x86.dll")
LISTS = ("VostX_Depends", "Game_Client_Executables", "SmallFiles", "T00M00_AllLevels")


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def probe(*args):
    """The probe's report as lines, or None when the update window is not there."""
    r = subprocess.run(wine_command(BUILD, PROBE, "dialog", *args, "I&V Downloading..."), stdout=subprocess.PIPE,
                       stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=120)
    if r.returncode != 0:
        return None
    return r.stdout.decode("utf-8", "replace").replace("\r", "").splitlines()


def texts(lines):
    """{control id: text} (the first control of an id, as GetDlgItem finds it)."""
    found = {}
    for line in lines or []:
        if line.startswith("control "):
            parts = line.split(" ", 7)
            found.setdefault(int(parts[1]), parts[7] if len(parts) > 7 else "")
    return found


def states(lines):
    """{control id: (visible, enabled)} of every control (the last one of an id wins)."""
    found = {}
    for line in lines or []:
        if line.startswith("state "):
            _, ident, visible, enabled = line.split()
            found[int(ident)] = (visible == "1", enabled == "1")
    return found


class UpdateMode(unittest.TestCase):
    def setUp(self):
        self.folder = scratch_dir(BUILD, "e2e_update_mode")
        self.addCleanup(remove_dir, self.folder)
        # The language file is looked up under the current folder.
        shutil.copytree(os.path.join(os.path.dirname(EXE), "locale"), os.path.join(self.folder, "locale"))
        self.wine = Wine(BUILD)
        # A registry key of this run's own, so runs in other processes never share it.
        self.selector = "E2EUpdate%d" % os.getpid()
        self.install = os.path.join(self.folder, "install")
        os.makedirs(self.install)
        self.reg("add", "/ve", "/d", windows_path(self.install), "/f")
        self.addCleanup(self.reg, "delete", "/f")
        self.sources = {}
        rnd = random.Random(7)
        for i, name in enumerate(LISTS):
            src = os.path.join(self.folder, "src", name)
            write(os.path.join(src, "%s.txt" % name), b"%s\n" % name.encode() * (i + 1))
            write(os.path.join(src, "data", "r%d.bin" % i), bytes(rnd.getrandbits(8) for _ in range(30000)))
            self.sources[name] = src
        self.out = os.path.join(self.folder, "out")

    def reg(self, verb, *args):
        key = "HKLM\\Software\\Vost-Parn\\Ironvale %s" % self.selector
        self.wine.run("reg", verb, key, *args)

    def publish(self, server_name, settings=None, bundle="SmallFiles"):
        args = [sys.executable, PUBLISH, "--out", self.out, "--root", "root.xml"]
        for name in LISTS:
            args += ["--list", "%s=%s" % (name, self.sources[name])]
        if bundle:
            args += ["--bundle", bundle]
        settings = settings if settings is not None else {
            "unique_file_servers": server_name, "distribution": "live",
            "vostxdistribution": self.selector, "uniqueversionfilename": "root.xml"}
        for key, value in settings.items():
            args += ["--settings", "%s=%s" % (key, value)]
        p = subprocess.run(args, check=True, stdout=subprocess.PIPE)
        return json.loads(p.stdout)

    def serve(self, paths=None):
        # The settings name the server, so the port is taken first and the files published after.
        os.makedirs(self.out, exist_ok=True)
        server = FileServer(self.out, paths)
        self.addCleanup(server.stop)
        return server

    def run_sync(self, *args, timeout=180):
        return self.wine.run(EXE, "/a", "/l", "en", *args, cwd=self.folder, timeout=timeout)

    def log(self):
        try:
            with open(os.path.join(self.folder, "ivlsync.log"), "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def start_sync(self, *args, exe=None):
        proc = self.wine.start(exe or EXE, "/a", "/l", "en", *args, cwd=self.folder)
        self.addCleanup(self.wine.stop, proc, 30)
        return proc

    def wait_window(self, condition, timeout=120):
        """The probe's report once condition(texts, states, report) holds; fails after timeout."""
        report = []

        def check():
            report[:] = probe() or []
            return bool(report) and condition(texts(report), states(report), report)
        self.assertTrue(wait_for(check, timeout), report)
        return report

    def close_when_done(self, proc):
        """Waits for the Close button, presses it and waits for the end."""
        report = self.wait_window(lambda t, s, r: has_close(r))
        self.assertEqual(subprocess.run(wine_command(BUILD, PROBE, "--click", str(IDC_CLOSE), "I&V Downloading..."),
                                        timeout=60).returncode, 0)
        self.assertTrue(wait_for(lambda: proc.poll() is not None, 60))
        return report

    def assert_installed(self):
        target = os.path.join(self.install, "live")
        for name, src in self.sources.items():
            for top, _, files in os.walk(src):
                for f in files:
                    rel = os.path.relpath(os.path.join(top, f), src)
                    self.assertTrue(filecmp.cmp(os.path.join(src, rel), os.path.join(target, rel), shallow=False),
                                    rel)
        self.assertTrue(os.path.exists(os.path.join(target, "synccache", "currentfiles.txt")))

    def test_four_distributions_installed_quietly(self):
        server = self.serve()
        self.publish(server.name)
        code, _ = self.run_sync("/rs", server.name, "/q")
        self.assertEqual(code, 0, self.log())
        self.assert_installed()
        log = self.log()
        self.assertIn("Finished", log)
        self.assertNotIn("There were errors", log)

    def test_unusable_settings_give_exit_code_1(self):
        cases = {
            "missing key": 'distribution="live"\nvostxdistribution="{sel}"\nuniqueversionfilename="root.xml"\n',
            "blanks around '='": 'unique_file_servers = "{srv}"\ndistribution="live"\n'
                                 'vostxdistribution="{sel}"\nuniqueversionfilename="root.xml"\n',
        }
        server = self.serve()
        self.publish(server.name, settings={})
        for label, text in cases.items():
            with self.subTest(label):
                with open(os.path.join(self.out, "settings.js"), "w") as f:
                    f.write(text.format(srv=server.name, sel=self.selector))
                code, _ = self.run_sync("/rs", server.name, "/q")
                self.assertEqual(code, 1, self.log())
                self.assertIn("Could not load the settings", self.log())
                self.assertFalse(os.path.exists(os.path.join(self.install, "live")))

    def test_failed_bundle_step_stops_the_job(self):
        server = self.serve()
        summary = self.publish(server.name)
        os.remove(os.path.join(self.out, summary["lists"]["SmallFiles"]["bundle"] + ".bz2"))
        code, _ = self.run_sync("/rs", server.name, "/q")
        self.assertEqual(code, 1, self.log())
        log = self.log()
        self.assertIn("There were errors during the download", log)
        # The fourth distribution is never reached.
        self.assertFalse(os.path.exists(os.path.join(self.install, "live", "T00M00_AllLevels.txt")))

    def test_quiet_without_a_server_ends_at_once(self):
        # A port nobody listens on: the settings cannot be loaded.
        server = self.serve()
        name = server.name
        server.stop()
        code, _ = self.run_sync("/rs", name, "/q", timeout=60)
        self.assertEqual(code, 1)
        self.assertIn("Could not connect", self.log())

    def test_time_outs(self):
        """Where the program names a time-out, a silent server is left after about 8 s: a file
        server's connection (the file then comes from the second server) and the settings
        request. The unique-list fetch names none and waits out a pause of 9 s. Each silent
        answer must end well before the 30 s of a low-speed window."""
        record = self.publish("127.0.0.1:1")["lists"]["VostX_Depends"]["files"]["data/r0.bin"]
        blob = "/" + record["text"] + (".bz2" if record["size"] else "")
        cases = [
            # what, rules of the first server, exit code, silent answers held there, requests of the second
            ("a file server's connection", {blob: {"silent": True}}, 0, 1, {blob: 1}),
            ("the settings request", {"/settings.js": {"silent": True}}, 1, 1, {}),
            ("a pause of 9 s in the unique list", {"/root.xml": {"pause": [50, 9]}}, 0, 0, {}),
        ]
        for label, rules, code, silent, second in cases:
            with self.subTest(label):
                remove_dir(os.path.join(self.install, "live"))
                s1 = self.serve()
                s0 = self.serve(rules)
                self.publish(s0.name, settings={
                    "unique_file_servers": s0.name + ";" + s1.name, "distribution": "live",
                    "vostxdistribution": self.selector, "uniqueversionfilename": "root.xml"})
                rc, _ = self.run_sync("/rs", s0.name, "/q")
                self.assertEqual(rc, code, self.log())
                held = s0.stats()["held"]
                self.assertEqual(len(held), silent, held)
                for seconds in held:
                    self.assertTrue(6 <= seconds < 20, held)
                self.assertEqual(s1.stats()["requests"], second)
                if code == 0:
                    self.assert_installed()
                s0.stop()
                s1.stop()

    def test_settings_request_and_the_log_after_a_bundle(self):
        """The settings request as the server sees it, and "fetchbatch.log" after the run: the
        bundle of the third distribution leaves its log open, so the file run of the fourth on
        the same folder appends to it, after the bundle's lines."""
        server = self.serve()
        lists = self.publish(server.name)["lists"]
        code, _ = self.run_sync("/rs", server.name, "/q")
        self.assertEqual(code, 0, self.log())
        # The request for the settings, whatever path it asked for.
        heads = [h for p, h in server.stats()["heads"].items() if p.endswith("settings.js")]
        self.assertEqual(len(heads), 1, heads)
        head = heads[0].split("\r\n")
        with open(os.path.join(self.install, "live", "fetchbatch.log"), encoding="utf-8") as f:
            log = f.read().split("\n")[:-1]
        bundle_end = log.index("Download bundle success") if "Download bundle success" in log else -1
        rows = [
            # what, text, pattern it must match whole
            ("request line", head[0], re.escape("GET /settings.js HTTP/1.1")),
            ("Host line: the host alone", head[1], re.escape("Host: 127.0.0.1")),
            ("the log begins with the bundle", log[0],
             re.escape('Fetching bundle manifest "%s" from %s' % (lists["SmallFiles"]["uniquefile"], server.name))),
            ("the file run follows the bundle", log[bundle_end + 1],
             r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\dZ fetchbatch\.exe -d .* -m %s" % re.escape(
                 lists["T00M00_AllLevels"]["uniquefile"])),
            ("the file run ends the log", log[-1], re.escape("Exitcode: 0")),
        ]
        self.assertGreater(bundle_end, 0, log)
        for what, text, pattern in rows:
            self.assertRegex(text.rstrip("\r"), "^%s$" % pattern, what)

    def test_window_before_during_and_after(self):
        server = self.serve()
        summary = self.publish(server.name)
        # The last list trickles in until the test has looked and cancelled; the cancel ends its
        # fetch, so the window passes "Stopping..." within a poll of the fetch and ends cancelled.
        last = "/" + summary["lists"]["T00M00_AllLevels"]["uniquefile"]
        server.stop()
        server = self.serve({last: {"trickle": [1, 5]}})
        self.publish(server.name)
        proc = self.wine.start(EXE, "/a", "/l", "en", "/rs", server.name, cwd=self.folder)
        self.addCleanup(self.wine.stop, proc, 30)
        report = []

        def at(condition):
            def check():
                report[:] = probe() or []
                return condition(texts(report), states(report))
            return check

        self.assertTrue(wait_for(at(lambda t, s: t.get(1007) == "Step 4 of 4"), 120), report)
        t, s = texts(report), states(report)
        self.assertEqual(t.get(1011), "Downloading and unpacking game data")
        self.assertEqual(t.get(2), "Cancel")
        self.assertEqual(s.get(2), (True, True))
        self.assertEqual(t.get(1005), "Show details")
        self.assertFalse(s[1001][0])  # the details box starts hidden
        self.assertEqual(subprocess.run(wine_command(BUILD, PROBE, "--click", "1005", "I&V Downloading..."),
                                        timeout=60).returncode, 0)
        self.assertTrue(wait_for(at(lambda t, s: t.get(1005) == "Hide details" and s[1001][0]), 60), report)

        self.assertEqual(subprocess.run(wine_command(BUILD, PROBE, "--click", "2", "I&V Downloading..."),
                                        timeout=60).returncode, 0)
        self.assertTrue(wait_for(at(lambda t, s: t.get(1003) is not None and "Close" in
                                    [l.split(" ", 7)[-1] for l in report if l.startswith("control ")]), 120),
                        report)
        self.assertEqual(texts(report).get(1002), "Cancelled")
        self.assertEqual(subprocess.run(wine_command(BUILD, PROBE, "--click", "1003", "I&V Downloading..."),
                                        timeout=60).returncode, 0)
        self.assertTrue(wait_for(lambda: proc.poll() is not None, 60))
        # Nothing of the fourth distribution was installed.
        self.assertFalse(os.path.exists(os.path.join(self.install, "live", "T00M00_AllLevels.txt")))

    def test_errors_open_the_details_box_and_keep_it_open(self):
        # Each logged error shows the details box; a second one must not hide it again.
        server = self.serve()
        self.publish(server.name, settings={})
        with open(os.path.join(self.out, "settings.js"), "w") as f:
            f.write('distribution="live"\n')
        stopped = self.serve()
        stopped.stop()
        cases = {
            "one error (settings without their keys)": (server.name, ["Could not load the settings"]),
            "two errors (no settings server)": (stopped.name, ["Could not connect", "Could not load the settings"]),
        }
        for label, (name, lines) in cases.items():
            with self.subTest(label):
                proc = self.start_sync("/rs", name)
                # The Close button is set after the errors were logged, through the same queue.
                report = self.close_when_done(proc)
                t, s = texts(report), states(report)
                self.assertEqual(t.get(IDC_DETAILS), "Hide details", report)
                self.assertTrue(s[IDC_LOG][0], report)
                for line in lines:
                    self.assertIn(line, window_log(report))
                    self.assertIn(line, self.log())
                self.assertEqual(proc.returncode, 1)

    def test_progress_texts_and_bar_during_a_run(self):
        server = self.serve()
        summary = self.publish(server.name)
        files = summary["lists"]["T00M00_AllLevels"]["files"]
        slow = "/" + files["data/r3.bin"]["text"]
        server.stop()
        # The last list's big file comes slowly; its other file is done at once.
        server = self.serve({slow: {"trickle": [1000, 0.3]}})
        self.publish(server.name)
        proc = self.start_sync("/rs", server.name)
        pattern = re.compile(r"^Downloading file (\d+) of (\d+)$")

        def during(t, s, report):
            m = pattern.match(t.get(1002, ""))
            return (t.get(1007) == "Step 4 of 4" and m is not None and 0 < int(m.group(1)) < int(m.group(2))
                    and bar(report) == round(int(m.group(1)) * 1000 / int(m.group(2))))
        report = self.wait_window(during)
        self.assertRegex(texts(report).get(IDC_DETAIL, ""), r"^\d+\.\d of \d+\.\d MB$")
        self.assertTrue(states(report)[IDC_BAR][0])
        self.close_when_done(proc)
        self.assertEqual(proc.returncode, 0, self.log())
        self.assert_installed()

    def test_repacker_lines_reach_the_log(self):
        standins = os.path.join(BUILD, "standins")
        texforge = os.path.join(standins, "texforge", "texforge.dll")
        globals_dll = os.path.join(standins, "globals", "globals.dll")
        if not (os.path.exists(texforge) and os.path.exists(globals_dll)):
            self.skipTest("the texforge.dll and globals.dll stand-ins are not built")
        # The repacker files are copied beside the program: a copy of it in a folder of its own.
        prog = os.path.join(self.folder, "prog")
        os.makedirs(prog)
        exe = os.path.join(prog, "ivlsync.exe")
        shutil.copy(EXE, exe)
        src = self.sources["VostX_Depends"]
        for name, origin in zip(REPACKER_FILES, (texforge, globals_dll, texforge, texforge, texforge)):
            shutil.copy(origin, os.path.join(src, name))
        server = self.serve()
        self.publish(server.name)
        proc = self.start_sync("/rs", server.name, exe=exe)
        report = self.close_when_done(proc)
        self.assertIn("texforge stand-in ready", window_log(report))
        self.assertEqual(proc.returncode, 0, self.log())
        with open(os.path.join(prog, "texforge.log"), "rb") as f:
            self.assertIn(b"Initialise _packed", f.read())
        self.assertIn("texforge stand-in ready\n", self.log().replace("\r", ""))


def has_close(report):
    return "Close" in [line.split(" ", 7)[-1] for line in report if line.startswith("control ")]


def bar(report, ident=IDC_BAR):
    for line in report:
        if line.startswith("bar %d " % ident):
            return int(line.split()[2])
    return None


def window_log(report):
    return "\n".join(line[4:] for line in report if line.startswith("log ")).replace("\\n", "\n")


def main():
    global BUILD, EXE, PROBE
    args, rest = driver_args("exe", "probe")
    BUILD, EXE, PROBE = args.build, args.exe, args.probe
    return run_tests_with_services(BUILD, sys.modules[__name__], [sys.argv[0]] + rest)


if __name__ == "__main__":
    sys.exit(main())
