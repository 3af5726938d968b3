"""Runs the game launcher ivl.exe under Wine with the stand-ins beside it (player.dll, pack.dll,
texforge.dll, globals.dll, faultscribe.exe) and checks what reaches them, the windows it opens
(through the probe tool winprobe.exe) and its exit codes.

    e2e_ivl.py --build BUILD --exe IVL --probe PROBE --standins DLL... [unittest arguments]
"""
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from ivldriver import ARGS, LauncherTest, main  # noqa: E402
from winetest import wait_for, windows_path, wine_command  # noqa: E402

WM_KEYDOWN, WM_KEYUP, WM_CHAR, WM_CLOSE = 0x100, 0x101, 0x102, 0x10
WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONUP, WM_RBUTTONUP, WM_MOUSEWHEEL = 0x200, 0x201, 0x202, 0x205, 0x20A
RUN_INI = "[boot]\nrun = true\n"


class StartUp(LauncherTest):
    def test_switches_reach_the_engine(self):
        sync_line = ["/S", "1234", "/M", "1234", "/P", "abc", "/W", "web", "/lang", "en", "/NOSERVER", "/H", "0"]
        cases = [
            ("sync program's line with a further parameter", sync_line + ["/R", "a=b"],
             "Start session=1234 playersession=abc allowlocalserver=0 port=0 web=web loadfromserver=1 scene=a=b "
             "window=attached geometry=second-part", "GetPlayerInterface mode=0"),
            ("sync program's line", sync_line,
             "Start session=1234 playersession=abc allowlocalserver=0 port=0 web=web loadfromserver=1 scene=1234 "
             "window=attached geometry=second-part", "GetPlayerInterface mode=0"),
            ("/R replaces the scene", ["/M", "first.xml", "/R", "k=v"],
             "Start session=1 playersession=(null) allowlocalserver=1 port=0 web=(null) loadfromserver=1 scene=k=v "
             "window=attached geometry=second-part", "GetPlayerInterface mode=0"),
            ("/D with a port", ["/D", "7778", "/S", "9"],
             "Start session=9 playersession=(null) allowlocalserver=1 port=7778 web=(null) loadfromserver=0 scene= "
             "window=attached geometry=second-part", "GetPlayerInterface mode=3"),
            ("/D without a port", ["/D", "/S", "5"],
             "Start session=5 playersession=(null) allowlocalserver=1 port=0 web=(null) loadfromserver=0 scene= "
             "window=attached geometry=second-part", "GetPlayerInterface mode=3"),
            ("a session id of 40 characters", ["/S", "x" * 40],
             "Start session= playersession=(null) allowlocalserver=1 port=0 web=(null) loadfromserver=0 scene= "
             "window=attached geometry=second-part", "GetPlayerInterface mode=0"),
        ]
        self.write("client.ini", RUN_INI)
        self.write("player.ctl", "ticks 3\npump\n")
        for name, args, start, mode in cases:
            with self.subTest(name):
                for log in ("player.log", "pack.log"):
                    if os.path.exists(os.path.join(self.install, log)):
                        os.remove(os.path.join(self.install, log))
                # the dedicated window ticks on its timer; the client's ticks come from the stand-in
                self.assertEqual(0, self.run_ivl(*args))
                log = self.lines("player.log")
                self.assertEqual(mode, log[0])
                self.assertEqual(start, self.start_line())
                self.assertTrue(log[-1].startswith("Release ticks=3 inputtimer="), log[-1])

    def test_settings_file_in_a_parent_folder_and_window_size(self):
        program = os.path.join(self.dir, "game", "bin")
        self.install_copy(program)
        self.write("client.ini", RUN_INI + "[render]\nresolution = 800x600\n", folder=os.path.join(self.dir, "game"))
        self.write("player.ctl", "ticks 2\npump\noption render.resolution\noption render.forcenull\n", folder=program)
        self.assertEqual(0, self.run_ivl("/S", "7", folder=program))
        log = self.lines("player.log", program)
        # Xvfb's screen is 1280 x 1024: the 800 x 600 client area is centred
        self.assertIn("AttachWindow size=800x600 client=800x600 at=240,212 class=IvLWindow000 title=I&V", log)
        self.assertIn("option render.resolution=800x600", log)
        self.assertIn("option render.forcenull=(missing)", log)
        self.assertIn("Start session=7", self.start_line(program))

    def test_user_settings_override_the_settings_file(self):
        self.write("client.ini", "[render]\nresolution = 800x600\n")
        self.assertEqual(0, self.run_ivl())
        reads = [line.split(" ", 1)[1] for line in self.lines("globals.log") if line.startswith("IniFile::Read ")]
        self.assertEqual(2, len(reads), reads)
        self.assertTrue(reads[1].lower().startswith("c:\\") and reads[1].endswith("\\localsettings.ini"), reads)
        local = os.path.join(os.path.abspath(ARGS.build), "wineprefix", "drive_c", *reads[1][3:].split("\\"))
        self.assertTrue(os.path.isdir(os.path.dirname(local)), local)
        try:
            with open(local, "w") as f:
                f.write("[render]\nresolution = 1024x768\n")
            self.write("client.ini", RUN_INI + "[render]\nresolution = 800x600\n")
            self.write("player.ctl", "ticks 1\n")
            self.assertEqual(0, self.run_ivl())
            self.assertTrue(any(line.startswith("AttachWindow size=1024x768 ") for line in self.lines("player.log")),
                            self.lines("player.log"))
        finally:
            if os.path.exists(local):
                os.remove(local)

    def test_settings_file_without_run(self):
        # a first token that names a script is ignored when the settings file is there
        self.write("client.ini", "[boot]\nrun = false\n")
        self.assertEqual(0, self.run_ivl("other.py", "/S", "1"))
        self.assertIsNone(self.read("player.log"))
        self.assertIsNone(self.read("startup.log"))
        self.assertIn("IniFile::Read " + windows_path(os.path.join(self.install, "client.ini")),
                      self.lines("globals.log"))

    def test_missing_start_script(self):
        for args, name in (([], "client.py"), (["other.py", "/S", "1"], "other.py"),
                           (["my game.py"], "my game.py")):
            with self.subTest(name):
                proc = self.start_ivl(*args)
                self.assertEqual(["%s not found" % name], self.press_box("I&V Error"))
                self.assertEqual(1, self.finish(proc))
                self.assertIsNone(self.read("player.log"))

    def test_start_script_sets_up_the_startup_log(self):
        scripts = os.path.join(self.dir, "scripts")
        os.makedirs(scripts)
        self.write("client.py", "import emb\nemb.Print('hello')\n", folder=scripts)
        rc, _ = self.wine.run(self.exe(), cwd=scripts, timeout=120)
        self.assertEqual(0, rc)
        self.assertIn("SetLogFileFunc set " + windows_path(os.path.join(scripts, "startup.log")),
                      self.lines("globals.log"))

    def test_missing_engine_library(self):
        self.write("client.ini", RUN_INI)
        os.remove(os.path.join(self.install, "player.dll"))
        proc = self.start_ivl()
        self.assertEqual(['LoadLibrary "player.dll" failed'], self.press_box("LaunchServer"))
        self.assertEqual(0, self.finish(proc))

    def test_engine_steps_that_fail(self):
        self.write("client.ini", RUN_INI)
        # an interface that was handed out is released, also when it could not start
        for step, last in (("interface", "GetPlayerInterface mode=0"), ("init", "Release ticks=0 inputtimer=0/0"),
                           ("attach", "Release ticks=0 inputtimer=0/0"), ("start", "Release ticks=0 inputtimer=0/0")):
            with self.subTest(step):
                if os.path.exists(os.path.join(self.install, "player.log")):
                    os.remove(os.path.join(self.install, "player.log"))
                self.write("player.ctl", "fail %s\n" % step)
                self.assertEqual(0, self.run_ivl())
                log = self.lines("player.log")
                self.assertEqual(last, log[-1])
                self.assertFalse(any(line.startswith("Tick") for line in log), log)


class Packing(LauncherTest):
    def test_pack_list_stops_at_a_failing_line(self):
        self.write("client.ini", "packlist = packs.txt\n[boot]\npack = true\n")
        self.write("packs.txt", "one.xml\r\n\r\nbad.xml\nthree.xml\n")
        self.write("pack.ctl", "fail bad.xml\n")
        self.assertEqual(0, self.run_ivl())
        packed = [line.split()[2] for line in self.lines("pack.log") if line.startswith("Pack ")]
        self.assertEqual(["scene=one.xml", "scene=bad.xml"], packed)
        self.assertIn("RepackFiles PackRepack all=0 0 0 types=DXT1=0,DXT5=0 files=2", self.lines("texforge.log"))
        self.assertIsNone(self.read("player.log"))

    def test_scene_packed_without_repack_then_run(self):
        self.write("client.ini", "[boot]\npack = true\nrepack = false\nrun = true\n")
        self.write("player.ctl", "ticks 1\n")
        self.assertEqual(0, self.run_ivl("/R", "arena.xml"))
        self.assertEqual(["attach", "Pack 0 scene=arena.xml resources= gfx=", "unload"], self.lines("pack.log")[:3])
        self.assertIsNone(self.read("texforge.log"))
        self.assertIn("scene=arena.xml", self.start_line())

    def test_pack_steps_log_through_the_script_start(self):
        # Only the script start gives the log a file ("startup.log").
        cases = [
            ("pack list", 'prop.SetString("packlist", "packs.txt")\n', 0,
             ["Packing:one.xml", "Packing:bad.xml", "Invalid scene/xml file 'bad.xml'"]),
            ("missing pack list", 'prop.SetString("packlist", "nothere.txt")\n', 1,
             ["Packlist 'nothere.txt' not found"]),
            ("the scene", 'prop.SetString("scenefile", "bad.xml")\n', 0,
             ["Packing:bad.xml", "Invalid scene/xml file 'bad.xml'"]),
            ("a script's pack", 'emb.Pack("bad.xml")\n', 0, ["Invalid scene/xml file 'bad.xml'"]),
        ]
        self.write("packs.txt", "one.xml\nbad.xml\nthree.xml\n")
        self.write("pack.ctl", "null bad.xml\n")  # pack.dll gives no result for it
        for name, line, code, expected in cases:
            with self.subTest(name):
                if os.path.exists(os.path.join(self.install, "startup.log")):
                    os.remove(os.path.join(self.install, "startup.log"))
                self.write("client.py", "import emb, prop\n" + line +
                           ("" if line.startswith("emb.") else 'prop.SetBool("boot", "pack", True)\n'
                            'prop.SetBool("boot", "repack", False)\n'))
                rc, _ = self.wine.run(self.exe(), cwd=self.install, timeout=120)
                self.assertEqual(code, rc)
                logged = [line for line in self.lines("startup.log")
                          if line.startswith(("Packing:", "Packlist", "Invalid scene"))]
                self.assertEqual(expected, logged)
                self.assertIsNone(self.read("player.log"))

    def test_missing_pack_list(self):
        self.write("client.ini", "packlist = nothere.txt\n" + RUN_INI + "pack = true\n")
        self.assertEqual(1, self.run_ivl())
        self.assertIsNone(self.read("pack.log"))
        self.assertIsNone(self.read("player.log"))


class Windows(LauncherTest):
    def test_input_messages_reach_the_engine(self):
        self.write("client.ini", RUN_INI)
        proc = self.start_ivl("/S", "1")
        self.assertTrue(self.wait_line("player.log", "Start "), self.lines("player.log"))
        posted = [
            (WM_KEYDOWN, 0x41, 0, "Key 0 65"),
            (WM_KEYDOWN, 0x41, 1 << 30, "Key 2 65"),          # a repeat
            (WM_KEYUP, 0x41, 0, "Key 1 65"),
            (WM_KEYDOWN, 0x11, 1 << 24, "Key 0 163"),         # right Ctrl by the extended-key bit
            (WM_KEYDOWN, 0x12, 0, "Key 0 164"),               # left Alt
            (WM_CHAR, 0x78, 0, "Char 120 0"),
            (WM_LBUTTONDOWN, 1, 0, "Key 0 1"),
            (WM_LBUTTONUP, 0, 0, "Key 1 1"),
            (WM_RBUTTONUP, 0, 0, "Key 1 2"),
            (WM_MOUSEMOVE, 0, (30 << 16) | 20, "Mouse 0 0 0 0 20 30"),
            (WM_MOUSEWHEEL, 120 << 16, 0, "Mouse 7864320 0 0 120 20 30"),
            (WM_CLOSE, 0, 0, "CloseRequest"),
        ]
        for message, wparam, lparam, _ in posted:
            self.post("I&V", message, wparam, lparam)
        self.assertEqual(0, self.finish(proc))
        log = self.lines("player.log")
        # The loop's TranslateMessage adds characters for the keys, and the system its own mouse
        # moves: the posted messages' calls come in order among them.
        calls = iter(line for line in log if line.split()[0] in ("Key", "Char", "Mouse", "CloseRequest"))
        for _, _, _, expected in posted:
            self.assertIn(expected, calls, log)
        self.assertEqual(1, log.count("Key 0 65"))
        self.assertTrue(log[-1].startswith("Release"), log[-1])
        starts, ends = log[-1].split("inputtimer=")[1].split("/")
        self.assertEqual(starts, ends)
        self.assertGreaterEqual(int(starts), len(posted))

    def test_inactive_window_keeps_input_until_a_click_is_released(self):
        self.write("client.ini", RUN_INI)
        proc = self.start_ivl()
        self.assertTrue(self.wait_line("player.log", "Start "), self.lines("player.log"))
        WM_ACTIVATE, WA_INACTIVE, WA_CLICKACTIVE = 0x6, 0, 2
        posted = [
            (WM_ACTIVATE, WA_INACTIVE, 0),
            (WM_KEYDOWN, 0x42, 0),          # dropped while inactive
            (WM_KEYDOWN, 0x73, 0),          # F4 still reaches the engine
            (WM_ACTIVATE, WA_CLICKACTIVE, 0),
            (WM_KEYDOWN, 0x43, 0),          # still dropped: the click is not released yet
            (WM_LBUTTONUP, 0, 0),           # the release gives the game the input, not the engine a button
            (WM_KEYDOWN, 0x44, 0),
            (WM_CLOSE, 0, 0),
        ]
        for message, wparam, lparam in posted:
            self.post("I&V", message, wparam, lparam)
        self.assertEqual(0, self.finish(proc))
        calls = [line for line in self.lines("player.log")
                 if line.split()[0] in ("Key", "Deactivated", "CloseRequest")]
        # the desktop may deactivate the window as well, next to the posted deactivation
        calls = [line for i, line in enumerate(calls) if i == 0 or line != "Deactivated" or calls[i - 1] != line]
        self.assertEqual(["Deactivated", "Key 0 115", "Key 0 68", "CloseRequest"], calls)

    def test_second_launcher_window(self):
        second = os.path.join(self.dir, "second")
        self.install_copy(second)
        for folder in (self.install, second):
            self.write("client.ini", RUN_INI, folder=folder)
        first = self.start_ivl()
        self.assertTrue(self.wait_line("player.log", "Start "))
        other = self.start_ivl(folder=second)
        self.assertTrue(self.wait_line("player.log", "Start ", folder=second))
        # Window classes belong to their process, so the class-name probe moves past a name only
        # within one process (see the unit test); each launcher here gets a window of its own.
        attach = [line for line in self.lines("player.log", second) if line.startswith("AttachWindow")]
        self.assertEqual(1, len(attach))
        self.assertIn(" class=IvLWindow000 ", attach[0])
        for proc in (first, other):
            while proc.poll() is None and self.probe("post", "I&V", str(WM_CLOSE), "0", "0")[0] == 0:
                if wait_for(lambda: proc.poll() is not None, 5):
                    break
        self.assertEqual(0, self.finish(first))
        self.assertEqual(0, self.finish(other))

    def test_run_inside_a_parent_window(self):
        # the probe's window holds the launcher's, and gets what the game does not take
        parent = subprocess.Popen(wine_command(ARGS.build, ARGS.probe, "parent", "ivl parent"),
                                  stdout=subprocess.PIPE, text=True, start_new_session=True)
        self.procs.append(parent)
        first = parent.stdout.readline().split()
        self.assertEqual("hwnd", first[0] if first else None)
        self.write("client.py", "import emb\nemb.Run('1', 'arena.xml', '%s')\n" % first[1])
        proc = self.wine.start(self.exe(), cwd=self.install)
        self.procs.append(proc)
        out, _ = parent.communicate(timeout=120)
        self.assertEqual(0, parent.returncode, out)
        self.assertEqual(["child class=IvLWindow000 title=I&V at=0,0 size=640x480", "got 0x200 0 0x50007"],
                         out.splitlines())
        self.assertEqual(0, self.finish(proc))
        log = self.lines("player.log")
        self.assertIn("Start session=1 playersession=(null) allowlocalserver=1 port=0 web=(null) loadfromserver=0 "
                      "scene=arena.xml window=attached geometry=second-part", log)
        # inactive, the window passed the mouse move to its parent instead of the engine
        calls = [line for line in log if line.split()[0] in ("Deactivated", "Mouse", "CloseRequest")]
        self.assertEqual(["Deactivated", "CloseRequest"], [c for i, c in enumerate(calls) if i == 0 or c != calls[i - 1]])

    def test_dedicated_status_window(self):
        self.write("client.ini", RUN_INI)
        self.write("player.ctl", "series 120\n")
        proc = self.start_ivl("/D", "7778", "/R", "scenes\\arena.xml")
        self.assertTrue(self.wait_line("player.log", "GetServerStats"), self.lines("player.log"))
        rc, out = self.probe("window", "IvL Dedicated server")
        self.assertEqual(0, rc)
        style = int(out.split("style=")[1], 16)
        for flag in (0x00C00000, 0x00080000, 0x00020000, 0x00010000):  # caption, system menu, min and max boxes
            self.assertTrue(style & flag, hex(style))
        self.assertTrue(self.wait_line("player.log", "Tick 2"))
        shot = self.screenshot("ivl-dedicated-status.png")
        self.post("IvL Dedicated server", WM_CLOSE)
        self.assertEqual(0, self.finish(proc))
        self.assertTrue(self.lines("player.log")[-1].startswith("Release"))
        self.assertIn("AttachWindow size=", "\n".join(self.lines("player.log")))
        if shot:
            self.assertGreater(os.path.getsize(shot), 0)

    def test_f10_on_the_status_window_keeps_the_server_ticking(self):
        WM_SYSKEYDOWN, WM_SYSKEYUP, VK_F10 = 0x104, 0x105, 0x79
        self.write("client.ini", RUN_INI)
        proc = self.start_ivl("/D", "7778")
        self.assertTrue(self.wait_line("player.log", "Tick 2"), self.lines("player.log"))
        # the key-up's DefWindowProcW would open the system menu's loop after an unhandled key-down
        self.post("IvL Dedicated server", WM_SYSKEYDOWN, VK_F10, 1)
        self.post("IvL Dedicated server", WM_SYSKEYUP, VK_F10, 0xC0000001)
        self.assertTrue(self.wait_line("player.log", "Key 0 121"), self.lines("player.log"))

        def ticks():
            return [int(line.split()[1]) for line in self.lines("player.log") if line.startswith("Tick ")]
        log = self.lines("player.log")
        at_key = max(int(line.split()[1]) for line in log[:log.index("Key 0 121")] if line.startswith("Tick "))
        # the status timer goes on ticking the engine, 20 times a second (a stalled loop gave 35
        # ticks in the next minute)
        self.assertTrue(wait_for(lambda: ticks()[-1] >= at_key + 100, 60), (at_key, ticks()[-1]))
        self.post("IvL Dedicated server", WM_CLOSE)
        self.assertEqual(0, self.finish(proc))
        self.assertEqual(1, self.lines("player.log").count("Key 0 121"))

    def screenshot(self, name):
        """The Xvfb screen, kept beside the build's test output for a look by eye."""
        if not shutil.which("import"):
            return None
        env = subprocess.run(["tools/wine-run", "--build", ARGS.build, "env"],
                             cwd=os.path.join(os.path.dirname(__file__), "..", ".."),
                             stdout=subprocess.PIPE, text=True).stdout
        display = [part.split("=")[1].strip("'") for part in env.split() if part.startswith("DISPLAY=")]
        if not display:
            return None
        folder = os.path.join(os.path.abspath(ARGS.build), "test-artifacts")
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, name)
        subprocess.run(["import", "-display", display[0], "-window", "root", path], timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return path if os.path.exists(path) else None


PURE_CALL_LINE = "#error3: pure virtual function call"


class CrashModes(LauncherTest):
    def crash(self, mode, kind="crash", script=False):
        """Starts a run whose engine crashes on tick 3. The settings file chooses the mode, or with
        script a start script does and starts the run."""
        if script:
            self.write("client.py", "import emb\nemb.SetCrashReport(%d)\nemb.Run('arena.xml')\n" % mode)
        else:
            self.write("client.ini", RUN_INI + ("crash_report_mode = %d\n" % mode if mode is not None else ""))
        self.write("player.ctl", "pump\n%s 3\n" % kind)
        return self.start_ivl()

    def test_crash_log_and_reporter(self):
        cases = [
            # mode, kind, start script, texts of crash.log, line of startup.log, reporter silent
            (2, "crash", False, ["ACCESS_VIOLATION"], None, None),
            (2, "purecall", False, ["__cxa_pure_virtual"], None, None),
            # Only the script start gives the log a file: the pure-call handler's line lands in
            # "startup.log", and the report quotes that file's last lines.
            (2, "purecall", True, ["__cxa_pure_virtual", PURE_CALL_LINE], PURE_CALL_LINE, None),
            (3, "crash", False, ["ACCESS_VIOLATION"], None, False),
            (4, "crash", False, ["ACCESS_VIOLATION"], None, True),
            (5, "crash", True, ["ACCESS_VIOLATION"], None, False),
        ]
        for mode, kind, script, texts, logged, silent in cases:
            with self.subTest(mode=mode, kind=kind, script=script):
                for name in ("crash.log", "faultscribe.log", "faultscribe-dump.dmp", "player.log", "client.ini",
                             "client.py", "startup.log"):
                    if os.path.exists(os.path.join(self.install, name)):
                        os.remove(os.path.join(self.install, name))
                # a report with its stack walk takes long on a loaded machine
                self.assertEqual(1, self.finish(self.crash(mode, kind, script), timeout=300))
                report = self.read("crash.log")
                self.assertIsNotNone(report)
                for text in texts:
                    self.assertIn(text, report)
                if logged:
                    self.assertIn(logged, self.lines("startup.log"))
                ticks = [line for line in self.lines("player.log") if line.startswith("Tick ")]
                self.assertEqual("Tick 3", ticks[-1])
                if silent is None:
                    self.assertIsNone(self.read("faultscribe.log"))
                else:
                    # the launcher starts the crash-report program and ends without waiting for it
                    self.assertTrue(wait_for(lambda: os.path.exists(os.path.join(self.install, "faultscribe-dump.dmp")),
                                             180, step=0.2))
                    reporter = self.read("faultscribe.log")
                    self.assertEqual(silent, reporter.rstrip().endswith("-silent"), reporter)
                    self.assertEqual(mode == 5, self.full_memory_dump("faultscribe-dump.dmp"))

    def test_pure_call_without_a_mode_takes_the_runtime_way(self):
        # No crash mode chosen: the handler is not installed, and the runtime reports the call
        # itself (error R6025) and ends the program.
        proc = self.crash(None, "purecall")
        self.assertEqual("Runtime error!", self.press_box("Wine C++ Runtime Library", "ok")[0])
        self.assertEqual(255, self.finish(proc))
        self.assertIsNone(self.read("crash.log"))
        self.assertIn("pure call", self.lines("player.log"))

    def test_script_break(self):
        self.write("client.py", "import emb\nemb.SetCrashReport(2)\nemb.Break('stop here')\nemb.Print('after')\n")
        rc, _ = self.wine.run(self.exe(), cwd=self.install, timeout=300)
        self.assertEqual(1, rc)
        log = self.lines("startup.log")
        self.assertIn("Break() in python script:", log)
        self.assertIn("stop here", log)
        self.assertNotIn("after", log)
        self.assertIn("BREAKPOINT", self.read("crash.log"))

    def full_memory_dump(self, name):
        """Whether the minidump's header names the full-memory kind (MiniDumpWithFullMemory)."""
        with open(os.path.join(self.install, name), "rb") as f:
            header = f.read(32)
        self.assertEqual(b"MDMP", header[:4])
        return bool(int.from_bytes(header[24:32], "little") & 0x2)

    def test_message_box_mode(self):
        proc = self.crash(1)
        text = self.press_box("Error log!", "no")
        self.assertIn("ACCESS_VIOLATION", "\n".join(text))
        self.assert_ended_by_the_system(self.finish(proc))
        self.assertIsNone(self.read("crash.log"))

    def test_default_leaves_the_system_handling(self):
        # the settings choose modes 0 to 4 only; the full-memory mode 5 is a script's choice
        for mode in (None, 5):
            with self.subTest(mode=mode):
                self.assert_ended_by_the_system(self.finish(self.crash(mode), timeout=300))
                self.assertIsNone(self.read("crash.log"))

    def assert_ended_by_the_system(self, code):
        # Wine's debugger ends the process, with an exit code that is sometimes 0: what shows
        # that the launcher did not go on is that the engine stopped at the crash's tick and was
        # never released.
        self.assertNotEqual(1, code)  # what the launcher's own crash modes exit with
        lines = self.lines("player.log")
        self.assertEqual("Tick 3", [line for line in lines if line.startswith("Tick ")][-1], lines)
        self.assertFalse(any(line.startswith("Release") for line in lines), lines)


if __name__ == "__main__":
    sys.exit(main(sys.modules[__name__]))
