#!/usr/bin/env python3
"""End to end: start-up of the real ivlsync.exe under Wine: the single-instance mutex, the
switches that choose the ports, the install root from the registry (written into the prefix
with reg.exe) with its temporary-folder fallback, and the elevated relaunch.

    e2e_ivlsync_startup.py --build BUILD --exe PATH [unittest arguments]
"""
import os
import re
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import syncdriver  # noqa: E402
from winetest import driver_args, port_open, run_isolated, run_tests_with_services, wait_for, windows_path  # noqa: E402

BUILD = None
EXE = None


def set_install_root(value):
    syncdriver.set_install_root(BUILD, value)


def prefix_processes():
    return syncdriver.prefix_processes(BUILD)


class Base(unittest.TestCase):
    def setUp(self):
        self.run_ = syncdriver.SyncProgram(BUILD, EXE)
        self.addCleanup(self.run_.cleanup)
        self.addCleanup(set_install_root, None)


class SingleInstance(Base):
    def test_second_copy_exits_with_1_and_the_mutex_comes_free_again(self):
        run = self.run_
        set_install_root(windows_path(os.path.join(run.folder, "install")))
        first = run.start("/m", "/l", "en")
        self.assertTrue(run.wait_log(r"^Write access granted$"), run.log())
        log_before = run.log()

        second = run.start("/m", "/l", "en")
        self.assertEqual(second.wait(timeout=60), 1)
        self.assertIsNone(first.poll(), "the first copy keeps running")
        self.assertEqual(run.log(), log_before, "the second copy writes nothing")

        self.assertTrue(run.close_all())
        self.assertEqual(first.wait(timeout=30), 0)

        third = run.start("/m", "/l", "en")
        self.assertTrue(run.wait_log(r"^Write access granted$", count=2), run.log())
        self.assertIsNone(third.poll())
        self.assertTrue(run.close_all())
        self.assertEqual(third.wait(timeout=30), 0)


class Switches(Base):
    def test_port_switch_moves_the_command_server(self):
        run = self.run_
        set_install_root(windows_path(os.path.join(run.folder, "install")))
        proc = run.start("-M", "-p", "50123")
        self.assertTrue(wait_for(lambda: port_open(50123) or proc.poll() is not None, 60))
        self.assertTrue(wait_for(lambda: port_open(50009), 30), "the policy port stays 50009")
        self.assertFalse(port_open(50010))
        self.assertTrue(run.close_all())
        self.assertEqual(proc.wait(timeout=30), 0)

    def test_without_language_texts_show_their_keys(self):
        run = self.run_
        set_install_root(windows_path(os.path.join(run.folder, "install")))
        proc = run.start("/m", "/p", "/l")
        self.assertTrue(run.wait_log(r"^access_ok$"), run.log())
        # "/p" followed by a switch gives the default port.
        self.assertTrue(wait_for(lambda: port_open(50010) or proc.poll() is not None, 60))
        self.assertIn("testing_access\n", run.log())
        self.assertTrue(run.close_all())


    def test_language_folder_switch(self):
        run = self.run_
        set_install_root(windows_path(os.path.join(run.folder, "install")))
        os.makedirs(os.path.join(run.folder, "lang"))
        with open(os.path.join(run.folder, "lang", "ivlsync_xx.xml"), "w", encoding="utf-8") as f:
            f.write('<root language="xx"><e name="access_ok"><value>Zugriff \u00fcberpr\u00fcft</value></e></root>')
        run.start("/m", "/ld", "lang", "/l", "xx")
        self.assertTrue(run.wait_log("^Zugriff \u00fcberpr\u00fcft$"), run.log())


class InstallRoot(Base):
    def test_registry_root_gets_its_backslash_and_is_created(self):
        run = self.run_
        # Stored as UTF-16 by reg.exe, logged and used as UTF-8.
        root = os.path.join(run.folder, "Jeux \u00e9t\u00e9", "Ironvale")
        set_install_root(windows_path(root))
        run.start("/m", "/l", "en")
        self.assertTrue(run.wait_log(r"^Write access granted$"), run.log())
        self.assertIn("Testing write access to %s\\\n" % windows_path(root), run.log())
        self.assertTrue(os.path.isdir(root))
        self.assertFalse(os.path.exists(os.path.join(root, "ivlsync.writetest")))

    def test_no_registry_entry_falls_back_to_the_temporary_folder(self):
        run = self.run_
        set_install_root(None)
        run.start("/m", "/l", "en")
        self.assertTrue(run.wait_log(r"^Write access granted$"), run.log())
        self.assertRegex(run.log(), r"(?m)^Testing write access to [A-Z]:\\.*\\Temp\\IVL\\$")


class Elevation(Base):
    # An install root under /sys: the kernel refuses to create folders there with EPERM even for
    # root, and Wine reports that as error 5 (access denied). Wine counts every process as
    # elevated, so the shell's "runas" starts the new copy at once.
    DENIED = r"Z:\sys\ivlsync_denied"

    def test_denied_root_relaunches_once_with_dash_e(self):
        if not os.path.isdir("/sys"):
            self.skipTest("no /sys")
        run = self.run_
        set_install_root(self.DENIED)
        first = run.start("/m", "/l", "en")
        self.assertTrue(run.wait_log(r"^Elevating rights$"), run.log())
        # The first copy closes by itself; the relaunch happens when it exits.
        self.assertEqual(first.wait(timeout=60), 0)

        self.assertTrue(wait_for(lambda: len(prefix_processes()) == 1, 60), prefix_processes())
        (_, argv), = prefix_processes()
        self.assertEqual(argv[1:], ["-e"], "the first copy's switches are not passed on")

        # The new copy runs without a language: the key is its own text.
        self.assertTrue(run.wait_log(r"^access_failed$"), run.log())
        time.sleep(2)
        self.assertEqual(len(re.findall(r"(?m)^Elevating rights$", run.log())), 1, run.log())
        self.assertEqual(len(prefix_processes()), 1)
        self.assertTrue(wait_for(lambda: port_open(50010), 30), "the relaunched copy serves")

        self.assertTrue(run.close_all())
        time.sleep(2)
        self.assertEqual(prefix_processes(), [], "no further relaunch")


def main():
    global BUILD, EXE
    args, rest = driver_args("exe")
    BUILD, EXE = args.build, args.exe
    run_isolated(BUILD)
    sys.exit(run_tests_with_services(BUILD, __name__, [sys.argv[0], *rest]))


if __name__ == "__main__":
    main()
