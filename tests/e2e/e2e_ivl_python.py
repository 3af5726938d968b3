"""Runs the launcher's start script "client.py" through the embedded interpreter: ivl.exe under
Wine with the stand-ins and python311.dll/python311.zip beside it (tests/lib/ivldriver.py).

    e2e_ivl_python.py --build BUILD --exe IVL --probe PROBE --standins FILE... [unittest arguments]
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from ivldriver import LauncherTest, main  # noqa: E402
from winetest import windows_path  # noqa: E402

START = "Start session=%s playersession=%s allowlocalserver=%d port=%d web=%s loadfromserver=%d scene=%s " \
        "window=attached geometry=second-part"


class StartScript(LauncherTest):
    def run_script(self, script, *args, control="ticks 1\n"):
        self.write("client.py", script)
        self.write("player.ctl", control)
        return self.run_ivl(*args)

    def test_print_and_options_reach_the_log_and_the_engine(self):
        rc = self.run_script("import emb, prop\n"
                             "emb.Print('hello from client')\n"
                             "prop.SetInt('render', 'width', 5)\n"
                             "prop.SetBool('boot', 'run', True)\n",
                             control="ticks 1\noption render.width\n")
        self.assertEqual(0, rc)
        self.assertIn("hello from client", self.lines("startup.log"))
        self.assertIn("option render.width=5", self.lines("player.log"))
        self.assertEqual(START % ("1", "(null)", 1, 0, "(null)", 0, ""), self.start_line())

    def test_each_run_form_starts_its_run(self):
        cases = [
            ("emb.Run('level.xml')", "GetPlayerInterface mode=0", START % ("1", "(null)", 1, 0, "(null)", 0, "level.xml")),
            ("emb.Run('7', 'level.xml')", "GetPlayerInterface mode=0", START % ("7", "(null)", 1, 0, "(null)", 0, "level.xml")),
            ("emb.Run('7', 'level.xml', True, 'p', False)", "GetPlayerInterface mode=0",
             START % ("7", "p", 0, 0, "(null)", 1, "level.xml")),
            ("emb.Run('7', 'level.xml', True, 'p', False, 7778, 'web', 0)", "GetPlayerInterface mode=0",
             START % ("7", "p", 0, 7778, "web", 1, "level.xml")),
            ("emb.RunServer('9', 'srv.xml', True, 7779, 'web')", "GetPlayerInterface mode=3",
             START % ("9", "(null)", 1, 7779, "web", 1, "srv.xml")),
            ("emb.RunServer('9', 'srv.xml', 7779, 'web')", "GetPlayerInterface mode=3",
             START % ("9", "(null)", 1, 7779, "web", 0, "srv.xml")),
        ]
        for call, mode, start in cases:
            with self.subTest(call):
                for name in ("player.log", "startup.log"):
                    path = os.path.join(self.install, name)
                    if os.path.exists(path):
                        os.remove(path)
                self.assertEqual(0, self.run_script("import emb\nemb.Print('result %%d' %% %s)\n" % call))
                self.assertEqual(mode, self.lines("player.log")[0])
                self.assertEqual(start, self.start_line())
                self.assertIn("result 1", self.lines("startup.log"))

    def test_command_line_reaches_the_script(self):
        # Wine hands the program "caf\xe9" in its ANSI code page: not UTF-8, and no error either.
        rc = self.run_script("import emb\nemb.Print('cmdline ' + emb.CmdLine())\n", "/S", "5", "/lang", "caf\u00e9")
        self.assertEqual(0, rc)
        lines = [line for line in self.lines("startup.log") if line.startswith("cmdline ")]
        self.assertEqual(1, len(lines), self.lines("startup.log"))
        self.assertTrue(lines[0].startswith("cmdline /S 5 /lang caf"), lines[0])
        self.assertEqual(len("cmdline /S 5 /lang caf") + 1, len(lines[0].rstrip()), lines[0])

    def test_engine_scene_begin_calls_the_script(self):
        rc = self.run_script("import emb\n"
                             "def OnSceneBegin():\n    emb.Print('scene begins')\n"
                             "emb.Run('level.xml')\n"
                             "emb.Print('run over')\n")
        self.assertEqual(0, rc)
        self.assertIn("SceneBegin", self.lines("player.log"))
        log = self.lines("startup.log")
        self.assertIn("scene begins", log)
        self.assertLess(log.index("scene begins"), log.index("run over"))

    def test_script_error_shows_the_box_and_exits_1(self):
        self.write("client.py", "import emb\ndef inner():\n    return 1 / 0\ninner()\n")
        proc = self.start_ivl()
        script = windows_path(os.path.join(self.install, "client.py"))
        text = self.press_box("Python error")
        # the probe reports the box text's first line; the location follows on the next
        self.assertEqual("division by zero : ", text[0])
        self.assertEqual(1, self.finish(proc))
        log = self.lines("startup.log")
        self.assertIn("Python Exception:<class 'ZeroDivisionError'>", log)
        stack = log[log.index("Call stack:") + 1:][:2]
        self.assertEqual(["   %s(3)" % script, "   %s(4)" % script], stack)
        self.assertIsNone(self.read("player.log"))


if __name__ == "__main__":
    sys.exit(main(sys.modules[__name__]))
