#!/usr/bin/env python3
"""The whole flow of a player's session on one machine, with the project's own programs:

  1. a distribution is published (tools/publish.py) and served (tools/fileserver.py);
  2. the NPAPI browser stand-in loads npvostxlive.dll and calls InitVostX as a page would: the
     plug-in fetches its copy of ivlsync.exe and starts it;
  3. the Flash front end's part (tools/flashclient.py) asks the sync program for the policy, a
     named download of the game, a verify, a ping of 127.0.0.1 and the run command;
  4. ivl.exe runs as a dedicated server with the player stand-in; its status window shows (and
     is photographed), the run is cancelled, the sync program is closed.

Every step prints one line; a failure stops the flow with a message and exit code 1. The replies,
the installed files and the command line the game received are checked on the way.

    demo.py BUILD_TREE [--no-screenshot]

The run goes into private namespaces (tools/netns-run): the sync program's ports are fixed, and
nothing started here outlives the run.
"""
import argparse
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "tools"))
sys.path.insert(0, os.path.join(TOP, "tests", "lib"))
import flashclient as fc  # noqa: E402
from fileservers import FileServer  # noqa: E402
from syncdriver import children, prefix_processes  # noqa: E402
from winetest import (host_pids, in_prefix, port_listening, run_isolated, scratch_dir, start_services,  # noqa: E402
                      wait_for, windows_path, wine_command)

VERSION = "demo"
DIST = "live"
PLAYER_SESSION = "p42"
MISSION = "7"
STATUS_TITLE = "IvL Dedicated server"
STANDINS = ["player.dll", "pack.dll", "texforge.dll", "globals.dll", "faultscribe.exe", "python311.dll",
            "python311.zip"]


class Failure(Exception):
    pass


def step(text):
    print("demo: " + text, flush=True)


def need(condition, text):
    if not condition:
        raise Failure(text)


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def read_text(path):
    try:
        return read_bytes(path).decode("latin-1")
    except OSError:
        return ""


class Demo:
    def __init__(self, build, screenshot):
        self.build = os.path.abspath(build)
        self.screenshot = screenshot
        self.work = scratch_dir(self.build, "demo")
        os.chmod(self.work, 0o755)
        self.root = os.path.join(self.work, "install")
        self.served = os.path.join(self.work, "served")
        self.server = None
        self.host_proc = None
        self.client = None
        self.started_services = False

    # ---- the programs of the build ----
    def built(self, name):
        """A file the build made, found by its name (the trees place programs differently)."""
        for top, dirs, files in os.walk(self.build):
            dirs[:] = [d for d in dirs if d not in ("wineprefix", "wine-state", "test-scratch", "CMakeFiles")]
            if name in files:
                return os.path.join(top, name)
        # the interpreter the launcher embeds stays where the tree's cache names it
        cache = read_text(os.path.join(self.build, "CMakeCache.txt"))
        found = re.search(r"^IVL_PYTHON_DIR:PATH=(.*)$", cache, re.M)
        if found and os.path.isfile(os.path.join(found.group(1), name)):
            return os.path.join(found.group(1), name)
        raise Failure("%s is missing in %s (build first)" % (name, self.build))

    def wine(self, *args, timeout=120):
        return subprocess.run(wine_command(self.build, *args), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              stdin=subprocess.DEVNULL, timeout=timeout).returncode

    # ---- 1. the distribution ----
    def stage(self):
        sync = self.built("ivlsync.exe")
        depends = os.path.join(self.work, "source", "depends")
        os.makedirs(os.path.join(depends, "locale"))
        shutil.copy(sync, depends)
        shutil.copy(os.path.join(os.path.dirname(sync), "locale", "ivlsync_en.xml"), os.path.join(depends, "locale"))

        game = os.path.join(self.work, "source", "game")
        os.makedirs(game)
        shutil.copy(self.built("ivl.exe"), game)
        for name in STANDINS:
            shutil.copy(self.built(name), game)
        with open(os.path.join(game, "client.ini"), "w", newline="") as f:
            f.write("[boot]\nrun = true\ndedicated = true\n")
        with open(os.path.join(game, "player.ctl"), "w", newline="") as f:
            f.write("series 120\n")
        # scenes and their data packs: one large enough for the progress to show
        for n, size in enumerate((3 << 20, 200000, 50000)):
            folder = os.path.join(game, "data", "scene%d" % n)
            os.makedirs(folder)
            with open(os.path.join(folder, "scene.pak"), "wb") as f:
                f.write(os.urandom(size))
        return depends, game

    def publish(self, depends, game):
        out = subprocess.run([sys.executable, os.path.join(TOP, "tools", "publish.py"), "--out", self.served,
                              "--list", "VostX_Depends=" + depends, "--list", "game=" + game, "--bundle", "game",
                              "--compress", "auto"], check=True, stdout=subprocess.PIPE).stdout
        self.summary = json.loads(out)
        self.sources = {"VostX_Depends": depends, "game": game}
        files = sum(len(entry["files"]) for entry in self.summary["lists"].values())
        step("published %d files in the lists VostX_Depends and game (with its bundle) to %s"
             % (files, self.served))

    def serve(self):
        big = self.summary["lists"]["game"]["files"]["data/scene0/scene.pak"]["text"]
        bundle = "/" + self.summary["lists"]["game"]["bundle"] + ".bz2"
        # the large pieces come slowly, so that the progress has something to show
        slow = {"trickle": [131072, 0.05]}
        try:
            self.server = FileServer(self.served, {"/" + big: slow, "/" + big + ".bz2": slow, bundle: slow})
        except RuntimeError as e:
            raise Failure(str(e)) from None
        self.port = self.server.port
        self.url = self.server.name
        step("file server (pid %d) serves them on http://%s/" % (self.server.proc.pid, self.url))

    # ---- 2. the page and the plug-in ----
    def registry(self):
        os.makedirs(self.root)
        for key in ("HKLM\\Software\\Vost-Parn\\Ironvale", "HKLM\\Software\\Vost-Parn\\Ironvale " + VERSION):
            need(self.wine("reg", "add", key, "/ve", "/d", windows_path(self.root), "/f") == 0,
                 "could not write the install root to the registry")
        step("install root %s written to the registry" % windows_path(self.root))

    def plugin(self):
        out = os.path.join(self.work, "npapihost.out")
        args = ["s:" + DIST, "s:" + VERSION, "s:en", "s:" + self.url, "s:" + self.url, "s:" + self.summary["root"],
                "s:flashObj"]
        with open(os.path.join(self.work, "npapihost.console"), "wb") as console:
            rc = subprocess.run(wine_command(self.build, self.built("npapihost.exe"), "--dll",
                                             self.built("npvostxlive.dll"), "--out",
                                             windows_path(out), "init", "entry", "new", "object", "invoke",
                                             "InitVostX", *args, "wait-flash", "4", "120", "release", "destroy"),
                                stdout=console, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                timeout=240).returncode
        lines = read_text(out).splitlines()
        need(rc == 0, "the browser stand-in failed (exit code %d): %s" % (rc, lines))
        calls = [line.split("|") for line in lines if line.startswith("flash ")]
        errors = [c for c in calls if c[0] != "flash VostxProgress"]
        need(not errors, "the plug-in reported errors to the page: %s" % errors)
        progress = [c[2].split(":", 1)[1] for c in calls]
        need(progress and float(progress[-1]) == 1.0, "the page's progress did not reach 1: %s" % progress)
        step("browser stand-in called InitVostX; the page saw progress %s" % " -> ".join(progress))
        need(wait_for(lambda: prefix_processes(self.build) and port_listening(fc.COMMAND_PORT), 60),
             "the plug-in did not start the sync program")
        (pid, argv), = prefix_processes(self.build)
        installed = os.path.dirname(self.unix_path(argv[0]))
        for name in ("ivlsync.exe", "locale/ivlsync_en.xml"):
            need(read_bytes(os.path.join(installed, name)) ==
                 read_bytes(os.path.join(self.sources["VostX_Depends"], name)),
                 "the plug-in's copy of %s differs from the published one" % name)
        self.sync_folder = installed
        step("plug-in installed the published ivlsync.exe and started it: %s (pid %d)" % (" ".join(argv), pid))

    def unix_path(self, path):
        path = path.replace("\\", "/")
        if path[:2].upper() == "Z:":
            return path[2:]
        need(path[:2].upper() == "C:", "unexpected program path %s" % path)
        return os.path.join(self.build, "wineprefix", "drive_c") + path[2:]

    # ---- 3. the Flash front end ----
    def connect(self):
        self.client = fc.FlashClient("127.0.0.1", fc.COMMAND_PORT, timeout=60)
        answer = self.client.policy()
        need(answer == fc.POLICY_TEXT, "unexpected policy answer %r" % answer)
        step("policy answered on the command port: %s" % answer.rstrip(b"\0\n").decode())

    def session(self, code, sid, *params, progress=False, end=fc.STATUS_FINISHED):
        """Runs a command's session to its removal; returns its messages (code, params...) up to
        its end reply, which must have the code end."""
        c = self.client
        c.send(code, sid, *params)
        got = []
        while not got or got[-1][0] != fc.STATUS_SESSIONREMOVED:
            try:
                m = c.read()
            except socket.timeout:
                raise Failure("%s: no end within %.0f s; it sent %s" % (fc.CODES[code], c.timeout, got))
            if m.session != sid:
                continue
            got.append((m.code, *m.params))
            # a refusal is the only reply
            need(m.code >= 100 or m.code == fc.ERR_OK or (fc.ERR_OK,) in got,
                 "%s was refused: %s" % (fc.CODES[code], got))
            if progress and m.code == fc.STATUS_PROGRESS:
                bar(m.params)
        if progress:
            sys.stdout.write("\n")
        need((fc.ERR_OK,) in got, "%s was refused: %s" % (fc.CODES[code], got))
        rest = [m for m in got if m != (fc.ERR_OK,)]
        need(len(rest) >= 2 and rest[-2][0] == end, "%s ended with %s" % (fc.CODES[code], rest[-2:]))
        return rest[:-1]

    def download(self):
        reports = self.session(fc.CMD_DOWNLOADNAMED, 1, DIST, "", self.summary["root"], "set:game", "w", "false",
                               self.url, progress=True)
        need(all(m[0] == fc.STATUS_PROGRESS for m in reports[:-1]), "unexpected reports: %s" % reports)
        # the page draws a bar from these: never past its end, the bytes never past their total
        for m in reports[:-1]:
            amounts = re.match(r"^([\d.]+)/([\d.]+) MB$", m[2]) if len(m) > 2 else None
            need(0.0 <= float(m[1]) <= 1.0 and amounts and float(amounts[1]) <= float(amounts[2]),
                 "progress past its end: %s" % (m,))
        folder = os.path.join(self.root, DIST)
        for name in self.summary["lists"]["game"]["files"]:
            need(read_bytes(os.path.join(folder, name)) == read_bytes(os.path.join(self.sources["game"], name)),
                 "installed %s differs from the published file" % name)
        step("named download of set:game finished (%d progress reports); the %d installed files match the "
             "published ones" % (len(reports) - 1, len(self.summary["lists"]["game"]["files"])))

    def verify(self):
        reports = self.session(fc.CMD_VERIFY, 2, DIST, VERSION, progress=True)
        need(all(m[0] == fc.STATUS_PROGRESS for m in reports[:-1]), "unexpected reports: %s" % reports)
        step("verify of the installed %s finished without findings (%d progress reports)" % (DIST, len(reports) - 1))

    def ping(self):
        result = self.session(fc.CMD_PING, 3, "127.0.0.1", end=fc.STATUS_PINGRESULT)[-1]
        need(len(result) == 2 and result[1].isdigit(), "unexpected ping result %s" % (result,))
        step("ping of 127.0.0.1: STATUS_PINGRESULT, %s ms on average" % result[1])

    # ---- 4. the game ----
    def game(self):
        folder = os.path.join(self.root, DIST)
        c = self.client
        sid = 4
        c.send(fc.CMD_RUN_IVL, sid, "w", DIST, "", MISSION, PLAYER_SESSION, "en")
        got = []
        while (fc.STATUS_PROGRESS, "1", "Started") not in got:
            m = c.read()
            if m.session == sid:
                got.append((m.code, *m.params))
                need(m.code != fc.STATUS_SESSIONREMOVED and m.code not in (fc.ERR_FAILED, fc.ERR_BUSY),
                     "the run command failed: %s" % got)
        need(wait_for(lambda: self.probe("window", STATUS_TITLE) == 0, 60), "no status window of the dedicated server")
        need(wait_for(lambda: "Tick 2" in read_text(os.path.join(folder, "player.log")), 60),
             "the dedicated server does not run: %s" % read_text(os.path.join(folder, "player.log")))
        start = [l for l in read_text(os.path.join(folder, "player.log")).splitlines() if l.startswith("Start ")]
        # a dedicated server gets no player session and always allows the local server
        expected = ("Start session=%s playersession=(null) allowlocalserver=1 port=0 web=w loadfromserver=1 "
                    "scene=%s " % (MISSION, MISSION))
        need(len(start) == 1 and start[0].startswith(expected),
             "the game received other values: %s (expected %s...)" % (start, expected))
        argv = self.game_argv()
        wanted = ["/S", MISSION, "/M", MISSION, "/P", PLAYER_SESSION, "/W", "w", "/lang", "en", "/NOSERVER", "/H", "0"]
        need(argv[1:] == wanted and argv[0].lower().endswith("\\%s\\ivl.exe" % DIST),
             "the game's command line is %s, not %s" % (argv, wanted))
        step("ivl.exe runs as a dedicated server with %s; its status window %r shows; the engine got: %s"
             % (" ".join(argv[1:]), STATUS_TITLE, start[0]))
        if self.screenshot:
            shot = self.take_screenshot()
            step("screenshot of the screen saved to %s" % shot if shot else "no screenshot (no import or display)")
        c.send(fc.CMD_CANCEL, sid)
        while got[-1][0] != fc.STATUS_SESSIONREMOVED:
            m = c.read()
            if m.session == sid:
                got.append((m.code, *m.params))
        need(got[-2:] == [(fc.STATUS_STOPPED,), (fc.STATUS_SESSIONREMOVED,)], "the cancel ended with %s" % got[-2:])
        need(wait_for(lambda: not self.game_pids(), 30), "the game still runs after the cancel")
        step("run cancelled: STATUS_STOPPED, the game has ended")

    def probe(self, *args):
        return subprocess.run(wine_command(self.build, self.built("winprobe.exe"), *args),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60).returncode

    def take_screenshot(self):
        display = os.environ.get("DISPLAY")
        env = subprocess.run(wine_command(self.build, "env"), stdout=subprocess.PIPE, text=True).stdout
        found = re.search(r"DISPLAY='?([^'\s]+)", env)
        if found:
            display = found.group(1)
        if not shutil.which("import") or not display:
            return None
        folder = os.path.join(self.build, "demo-artifacts")
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, "dedicated-server.png")
        subprocess.run(["import", "-display", display, "-window", "root", path], timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return path if os.path.exists(path) else None

    def game_argv(self):
        """The arguments of the running game, as Wine passed them to the process."""
        for pid in self.game_pids():
            try:
                return [a.decode("latin-1") for a in read_bytes("/proc/%d/cmdline" % pid).split(b"\0") if a]
            except OSError:
                pass
        raise Failure("the game does not run")

    def game_pids(self):
        found = []
        for pid in host_pids():
            try:
                if "ivl.exe" in read_text("/proc/%d/cmdline" % pid) and in_prefix(pid, self.build):
                    found.append(pid)
            except OSError:
                pass
        return found

    def close(self):
        reply = self.client.command(fc.CMD_CLOSE, 5)
        need(reply.code == fc.ERR_OK, "the close command was answered with %r" % reply)
        need(wait_for(lambda: not prefix_processes(self.build), 30), "the sync program did not end")
        step("close command answered ERR_OK; the sync program has ended")

    # ---- the end, also after a failure ----
    def cleanup(self):
        if self.client:
            self.client.close()
        for pid in self.game_pids() + [p for p, _ in prefix_processes(self.build)]:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        if self.server:
            self.server.stop()
        for key in ("HKLM\\Software\\Vost-Parn\\Ironvale", "HKLM\\Software\\Vost-Parn\\Ironvale " + VERSION):
            self.wine("reg", "delete", key, "/f")
        if getattr(self, "sync_folder", None):
            shutil.rmtree(self.sync_folder, ignore_errors=True)
        shutil.rmtree(self.work, ignore_errors=True)

    def run(self):
        started = time.monotonic()
        depends, game = self.stage()
        self.publish(depends, game)
        self.serve()
        self.registry()
        self.plugin()
        self.connect()
        self.download()
        self.verify()
        self.ping()
        self.game()
        self.close()
        step("the whole flow took %.0f s" % (time.monotonic() - started))


def bar(params):
    fraction = float(params[0]) if params else 0.0
    width = 40
    done = min(width, int(round(fraction * width)))
    sys.stdout.write("\r  [%s%s] %5.1f%% %-20s" % ("#" * done, "." * (width - done), fraction * 100,
                                                params[1] if len(params) > 1 else ""))
    sys.stdout.flush()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("build")
    ap.add_argument("--no-screenshot", action="store_true")
    args = ap.parse_args()
    run_isolated(args.build)
    # no namespaces here: the tree's shared services, under the machine-wide port lock
    started = os.environ.get("IVL_ISOLATED") == "lock" and start_services(os.path.abspath(args.build))
    demo = Demo(args.build, not args.no_screenshot)
    try:
        demo.run()
        return 0
    except (Failure, OSError, socket.timeout, ConnectionError, subprocess.SubprocessError) as e:
        print("demo: FAILED: %s" % e, file=sys.stderr, flush=True)
        log = read_text(os.path.join(getattr(demo, "sync_folder", ""), "ivlsync.log")).splitlines()
        if log:
            print("demo: the end of the sync program's log:\n  " + "\n  ".join(log[-15:]), file=sys.stderr, flush=True)
        return 1
    finally:
        demo.cleanup()
        if started:
            subprocess.run(wine_command(os.path.abspath(args.build), "stop"))


if __name__ == "__main__":
    sys.exit(main())
