"""The file servers of the tests, on loopback ports of their own: tools/fileserver.py (an optional
script of answers by path, its request counts) and nginx as a plain server. Each stops without
ever waiting for ever."""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import urllib.request

from winetest import TOP, port_open, wait_for

FILESERVER = os.path.join(TOP, "tools", "fileserver.py")
HOST = "127.0.0.1"
NGINX = shutil.which("nginx") or ("/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx") else None)


def free_port():
    """A loopback port nothing listens on (until someone takes it)."""
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def stop_process(proc, timeout=10):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            # A loaded machine may not run the handler in time: never leave it behind.
            proc.kill()
            proc.wait()


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
        if not wait_for(lambda: os.path.exists(port_file) or self.proc.poll() is not None, 30) \
                or not os.path.exists(port_file):
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
        stop_process(self.proc)
        shutil.rmtree(self.tmp, ignore_errors=True)


class Nginx:
    """nginx serving root as plain files, with its access log; RuntimeError when it does not
    start (NGINX is None when it is not installed)."""

    def __init__(self, root):
        if not NGINX:
            raise RuntimeError("nginx is not installed")
        self.tmp = tempfile.mkdtemp(prefix="nginx-")
        os.chmod(self.tmp, 0o755)
        self.port = free_port()
        self.name = "%s:%d" % (HOST, self.port)
        self.access = os.path.join(self.tmp, "access.log")
        conf = os.path.join(self.tmp, "nginx.conf")
        t = self.tmp
        with open(conf, "w") as f:
            f.write("""worker_processes 1; master_process off; daemon off;
error_log %(t)s/error.log; pid %(t)s/nginx.pid;
events { worker_connections 256; }
http {
  access_log %(t)s/access.log;
  client_body_temp_path %(t)s/body; proxy_temp_path %(t)s/proxy; fastcgi_temp_path %(t)s/fastcgi;
  uwsgi_temp_path %(t)s/uwsgi; scgi_temp_path %(t)s/scgi;
  default_type application/octet-stream;
  sendfile on;
  keepalive_requests 100000;
  server { listen %(host)s:%(port)d; root %(root)s; }
}
""" % {"t": t, "host": HOST, "port": self.port, "root": root})
        self.proc = subprocess.Popen([NGINX, "-e", os.path.join(t, "error.log"), "-p", t, "-c", conf],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: self.proc.poll() is not None or port_open(self.port, HOST), 10) \
                or self.proc.poll() is not None:
            self.stop()
            raise RuntimeError("nginx did not start")

    def requests(self):
        """Request paths logged so far (nginx writes its access log line by line)."""
        if not os.path.exists(self.access):
            return []
        with open(self.access, encoding="latin-1") as f:
            return [line.split('"')[1].split()[1] for line in f if '"' in line]

    def stop(self):
        stop_process(self.proc)
        shutil.rmtree(self.tmp, ignore_errors=True)
