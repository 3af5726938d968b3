"""tools/fileserver.py run by a test: a free port, an optional script of answers by path, the
server's request counts, and a stop that never waits for ever."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import urllib.request

from winetest import TOP, wait_for

FILESERVER = os.path.join(TOP, "tools", "fileserver.py")
HOST = "127.0.0.1"


class FileServer:
    def __init__(self, root, script=None):
        """script: {path or "prefix/*": rule} as tools/fileserver.py documents it."""
        self.tmp = tempfile.mkdtemp(prefix="fileserver-")
        port_file = os.path.join(self.tmp, "port")
        args = [sys.executable, FILESERVER, "--root", root, "--port-file", port_file]
        if script is not None:
            path = os.path.join(self.tmp, "script.json")
            with open(path, "w") as f:
                json.dump({"paths": script}, f)
            args += ["--script", path]
        self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # The port file is written whole under another name and then renamed.
        if not wait_for(lambda: os.path.exists(port_file), 30):
            self.stop()
            raise RuntimeError("file server did not start")
        with open(port_file) as f:
            self.port = int(f.read())
        self.name = "%s:%d" % (HOST, self.port)

    def stats(self):
        with urllib.request.urlopen("http://%s/_stats" % self.name, timeout=10) as r:
            data = json.loads(r.read())
        data["requests"].pop("/_stats", None)
        return data

    def reset(self):
        urllib.request.urlopen("http://%s/_stats/reset" % self.name, timeout=10).read()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                # A loaded machine may not run the handler in time: never leave it behind.
                self.proc.kill()
                self.proc.wait()
        shutil.rmtree(self.tmp, ignore_errors=True)
