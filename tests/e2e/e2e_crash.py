"""Crashes a test program under Wine and checks the reports the crash reporter leaves."""
import os
import shutil
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from winetest import Wine, driver_args, scratch_dir, remove_dir, wait_for  # noqa: E402

ARGS = None


class CrashReports(unittest.TestCase):
    def setUp(self):
        self.wine = Wine(ARGS.build)
        self.dir = scratch_dir(ARGS.build, "crash")
        for exe in (ARGS.crashtest, ARGS.faultscribe):
            shutil.copy(exe, self.dir)
        with open(os.path.join(self.dir, "version.txt"), "w") as f:
            f.write("1.2.3")
        self.fake_sync = b"not really the sync program\n"
        with open(os.path.join(self.dir, "ivlsync.exe"), "wb") as f:
            f.write(self.fake_sync)

    def tearDown(self):
        remove_dir(self.dir)

    def crash(self, mode, *extra, env=None):
        # run inside the folder: the log file is named relative to it
        return self.wine.run(os.path.join(self.dir, "crashtest.exe"), mode, *extra, env=env, cwd=self.dir)

    def read(self, name, mode="r"):
        path = os.path.join(self.dir, name)
        if not os.path.exists(path):
            return None
        with open(path, mode) as f:
            return f.read()

    def wait_reporter(self, timeout=120):
        """The crash-report program runs on after the crashed one; wait for what it leaves."""
        names = ("faultscribe.log", "faultscribe-report.xml", "faultscribe-dump.dmp")
        if wait_for(lambda: all(os.path.exists(os.path.join(self.dir, n)) for n in names), timeout):
            time.sleep(0.2)  # let the copies finish
        return self.read("faultscribe.log")

    def write_log(self, data):
        path = os.path.join(self.dir, "test.log")
        with open(path, "wb") as f:
            f.write(data)
        return "test.log"

    def test_access_violation_full_report(self):
        log = self.write_log(b"first line\nsecond line\n")
        code, out = self.crash("write10", "--log", log, "--user", "tester", "--scene", "a<b&c")
        self.assertNotEqual(0, code, out)
        text = self.read("crash.log", "rb").decode("latin-1")
        self.assertIsNotNone(text)
        self.assertTrue(text.startswith("<Exception>"), text[:200])
        self.assertIn("----- Exception " + "-" * 55, text)
        self.assertIn("<Version>1.2.3</Version>", text)
        self.assertIn("<Description>ACCESS_VIOLATION</Description>", text)
        self.assertRegex(text, r"<Details>\(write to 0+10\)</Details>")
        self.assertRegex(text, r"Exception at [0-9A-F]+: ACCESS_VIOLATION \(write to 0+10\)")
        self.assertRegex(text, r"<ExceptionAddress>-?\d+</ExceptionAddress>")
        self.assertIn("<Username>tester</Username>", text)
        self.assertIn("<Scene>a&lt;b&amp;c</Scene>", text)
        self.assertIn("Computer name: ", text)
        self.assertIn("Command line: ", text)
        self.assertIn("Thread name: crash main", text)
        self.assertRegex(text, r"Time \(UTC\): \w{3} \w{3} +\d+ \d\d:\d\d:\d\d \d{4}")
        # the stack trace names the faulting function and its source line (DWARF 4 symbols)
        self.assertIn("<Stack_trace>", text)
        self.assertIn("WriteToLowAddress()", text)
        self.assertRegex(text, r"crashtest\.cpp\(\d+\) \+ \d+ bytes")
        # the function dump marks the faulting line
        self.assertIn("<Function_dump>", text)
        self.assertRegex(text, r"\*p = 1; +// the faulting line    <<-----")
        # file info: missing files are named, present ones get size and SHA-256
        self.assertIn("<File_info>", text)
        self.assertIn("----- File info " + "-" * 55, text)
        self.assertIn("PrintFileInfo failed: Couldn't open 'ivl.exe'", text)
        import hashlib
        digest = hashlib.sha256(self.fake_sync).hexdigest()
        self.assertIn("'ivlsync.exe' %d bytes, SHA256: %s" % (len(self.fake_sync), digest), text)
        # the log tail starts after the first line feed
        self.assertIn("The last lines from %s:" % log, text)
        self.assertIn("second line", text)
        self.assertNotIn("first line", text)
        self.assertTrue(text.endswith("</Exception>\n\n\n\n"), repr(text[-40:]))

        # the crash-report program got the XML and the minidump, "-silent" without the dialog
        args = self.wait_reporter()
        self.assertIsNotNone(args, "faultscribe.exe was not started")
        self.assertRegex(args.strip(), r'^faultscribe\.exe ".*xml.*" ".*mdm.*" -silent$')
        xml = self.read("faultscribe-report.xml", "rb").decode("latin-1")
        self.assertEqual(text, xml + "\n\n\n")
        dump = self.read("faultscribe-dump.dmp", "rb")
        self.assertEqual(b"MDMP", dump[:4])

    def test_exception_kinds(self):
        cases = [
            ("divzero", "INTEGER_DIVIDE_BY_ZERO", None),
            ("stack", "STACK_OVERFLOW", None),
            ("unknown", "Unknown exception", r"<Details>code 0*E0000123</Details>"),
        ]
        for mode, name, details in cases:
            with self.subTest(mode=mode):
                for f in ("crash.log", "faultscribe.log", "faultscribe-report.xml", "faultscribe-dump.dmp"):
                    if os.path.exists(os.path.join(self.dir, f)):
                        os.remove(os.path.join(self.dir, f))
                code, out = self.crash(mode, "--dialog")
                self.assertNotEqual(0, code)
                text = self.read("crash.log", "rb")
                self.assertIsNotNone(text, out[-2000:])
                text = text.decode("latin-1")
                self.assertIn("<Description>%s</Description>" % name, text)
                if details:
                    self.assertRegex(text, details)
                # with the dialog flag the crash-report program is not told to be silent
                args = self.wait_reporter()
                self.assertIsNotNone(args)
                self.assertNotIn("-silent", args)

    def test_passed_on_exceptions_write_no_report(self):
        # Wine lets the thread-naming code go on when no debugger listens, so only the C++ one
        # ends the process; neither must leave a report.
        for mode in ("cppthrow", "threadname"):
            with self.subTest(mode=mode):
                code, out = self.crash(mode)
                # Wine's debugger ends the process with an exit code that is sometimes 0, so
                # ask the program whether it went on instead
                self.assertEqual(mode == "threadname", "went on after " + mode in out, out[-2000:])
                self.assertIsNone(self.read("crash.log"))
                self.assertIsNone(self.read("faultscribe.log"))

    def test_without_dbghelp(self):
        big = b"".join(b"line %06d\n" % i for i in range(20000))  # 220000 bytes
        log = self.write_log(big)
        code, out = self.crash("write10", "--log", log, env={"WINEDLLOVERRIDES": "dbghelp=d"})
        self.assertNotEqual(0, code)
        text = self.read("crash.log", "rb").decode("latin-1")
        self.assertIn("Couldn't load dbghelp.dll", text)
        self.assertIn("<Error>Couldn&apos;t load dbghelp.dll</Error>", text)
        for needed in ("<Version>1.2.3</Version>", "ACCESS_VIOLATION", "Computer name: ", "Command line: ",
                       "Time (UTC): "):
            self.assertIn(needed, text)
        for absent in ("<Stack_trace>", "<File_info>", "<Function_dump>"):
            self.assertNotIn(absent, text)
        # only the last 50000 bytes, from after their first line feed
        tail = big[-50000:]
        tail = tail[tail.index(b"\n") + 1:].decode()
        self.assertIn(tail, text)
        self.assertNotIn(big[-50000 - 11:-50000].decode(), text)
        self.assertIsNotNone(self.wait_reporter())


if __name__ == "__main__":
    ARGS, rest = driver_args("crashtest", "faultscribe")
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
