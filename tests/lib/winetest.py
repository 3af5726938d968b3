"""Helpers for tests that run the Windows programs under the project's Wine runner."""
import os
import shutil
import subprocess
import tempfile

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RUNNER = os.path.join(TOP, "tools", "wine-run")


class Wine:
    def __init__(self, build):
        self.build = os.path.abspath(build)

    def run(self, exe, *args, env=None, timeout=120, cwd=None):
        """Runs a program to its end; returns (exit code, stdout+stderr text)."""
        full = dict(os.environ)
        if env:
            full.update(env)
        p = subprocess.run([RUNNER, "--build", self.build, exe, *args], cwd=cwd, env=full,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
        return p.returncode, p.stdout.decode("latin-1")

    def start(self, exe, *args, env=None, cwd=None):
        """Starts a program in the background; the caller ends it (see stop)."""
        full = dict(os.environ)
        if env:
            full.update(env)
        return subprocess.Popen([RUNNER, "--build", self.build, exe, *args], cwd=cwd, env=full,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                start_new_session=True)

    @staticmethod
    def stop(proc, timeout=10):
        if proc.poll() is None:
            try:
                proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, 9)
                proc.wait()
        return proc.returncode


def scratch_dir(build, name):
    """A fresh folder inside the build tree (so Wine reaches it through its Z: drive)."""
    base = os.path.join(os.path.abspath(build), "test-scratch")
    os.makedirs(base, exist_ok=True)
    return tempfile.mkdtemp(prefix=name + "-", dir=base)


def remove_dir(path):
    shutil.rmtree(path, ignore_errors=True)
