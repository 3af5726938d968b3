"""One driver of the sync program (ivlsync.exe) for the end-to-end tests: a work folder of its
own, the copies of the program started in it, their log, and the clean-up of all of it."""
import os
import re
import shutil
import signal
import subprocess
import tempfile

from winetest import host_pids, in_prefix, port_listening, wait_for, wine_command

INSTALL_KEY = r"HKLM\Software\Vost-Parn\Ironvale"
POLICY_PORT, COMMAND_PORT = 50009, 50010


def wine(build, *args, timeout=120):
    """Runs a program of the prefix (reg, taskkill) to its end; returns its exit code."""
    # A UTF-8 locale, so that Wine reads non-ASCII arguments as what they are.
    env = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8")
    return subprocess.run(wine_command(build, *args), stdout=subprocess.DEVNULL, env=env,
                          stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=timeout).returncode


def set_install_root(build, value):
    """Default value of the install key, or no key at all for None."""
    wine(build, "reg", "delete", INSTALL_KEY, "/f")
    if value is not None:
        assert wine(build, "reg", "add", INSTALL_KEY, "/ve", "/d", value, "/f") == 0


def prefix_processes(build):
    """(pid, argv) of the ivlsync.exe processes of the build's prefix."""
    found = []
    for pid in host_pids():
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                argv = [a.decode("utf-8", "replace") for a in f.read().split(b"\0") if a]
            if not argv or not argv[0].lower().endswith("ivlsync.exe"):
                continue
            if in_prefix(pid, build):
                found.append((pid, argv))
        except OSError:
            pass
    return found


def children(pid):
    """Pids whose parent is pid."""
    found = []
    for child in host_pids():
        try:
            with open("/proc/%d/stat" % child) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if int(fields[1]) == pid:
                found.append(child)
        except (OSError, IndexError, ValueError):
            pass
    return found


class SyncProgram:
    """A work folder and the copies of ivlsync.exe started in it. With copy=True the folder holds
    its own copy of the program and its language files, like the plug-in's; else the build's
    program runs with the folder as its working folder. Use as a context manager, or call
    cleanup(): it ends every copy and removes the folder."""

    def __init__(self, build, exe, prefix="e2e_ivlsync_", copy=True):
        self.build = os.path.abspath(build)
        self.folder = tempfile.mkdtemp(prefix=prefix)
        self.procs = []
        self.outs = []
        if copy:
            self.exe = os.path.join(self.folder, "ivlsync.exe")
            shutil.copy(exe, self.exe)
            shutil.copytree(os.path.join(os.path.dirname(exe), "locale"), os.path.join(self.folder, "locale"))
        else:
            self.exe = os.path.abspath(exe)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cleanup()

    @property
    def proc(self):
        """The first copy started."""
        return self.procs[0]

    @property
    def log_path(self):
        return os.path.join(self.folder, "ivlsync.log")

    def log(self):
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def start(self, *args):
        out = open(os.path.join(self.folder, "wine-%d.out" % len(self.procs)), "wb")
        proc = subprocess.Popen(wine_command(self.build, self.exe, *args), cwd=self.folder, stdout=out,
                                stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        self.procs.append(proc)
        self.outs.append(out)
        return proc

    def start_serving(self, *args, ports=(POLICY_PORT, COMMAND_PORT), timeout=60):
        """Starts a copy and waits until the ports listen; raises when it ends or they do not."""
        proc = self.start(*args)
        if not wait_for(lambda: all(port_listening(p) for p in ports) or proc.poll() is not None, timeout) \
                or proc.poll() is not None:
            self.kill()
            raise RuntimeError("ivlsync did not open its ports %r; log:\n%s" % (ports, self.log()))
        return proc

    def wait_log(self, pattern, count=1, timeout=60):
        return wait_for(lambda: len(re.findall(pattern, self.log(), re.M)) >= count, timeout)

    def close_all(self, timeout=60):
        """Closes every copy's window (WM_CLOSE) and waits for the processes to end."""
        if prefix_processes(self.build):
            wine(self.build, "taskkill", "/im", "ivlsync.exe")
        ok = wait_for(lambda: not prefix_processes(self.build), timeout)
        for proc in self.procs:
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        return ok

    def kill(self):
        """Ends the copies started here at once."""
        for proc in self.procs:
            if proc.poll() is None:
                # wine-run's child is the Windows program itself
                for pid in children(proc.pid):
                    try:
                        os.kill(pid, signal.SIGKILL)
                    except OSError:
                        pass
                try:
                    proc.wait(20)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()

    def cleanup(self):
        if not self.close_all():
            self.kill()
            for pid, _ in prefix_processes(self.build):
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
        for out in self.outs:
            out.close()
        shutil.rmtree(self.folder, ignore_errors=True)
