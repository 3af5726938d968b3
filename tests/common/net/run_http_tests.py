#!/usr/bin/env python3
"""Runs test_http under Wine against real servers on 127.0.0.1.

Starts tools/fileserver.py (scripted answers, tests/common/net/http_script.json) and nginx (an
ordinary static file server) on free ports, both serving one temporary folder with generated
files, runs the test program through tools/wine-run with the ports in IVL_HTTP_PORT and
IVL_NGINX_PORT and the folder's Windows path in IVL_HTTP_ROOT, then stops both servers by pid
and removes the folder.

    run_http_tests.py --build BUILD_TREE --exe test_http.exe [gtest arguments...]
"""
import argparse
import bz2
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.abspath(os.path.join(HERE, "..", "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tests", "lib"))
from winetest import wine_command, windows_path  # noqa: E402

NGINX = shutil.which("nginx") or ("/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx") else None)


def pattern(size, seed):
    return bytes((i * 131 + (i >> 8) + seed) & 255 for i in range(size))


def make_files(root):
    def write(name, data):
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, 0o644)

    write("a.txt", b"hello from the file server\n")
    write("dir/a.txt", b"second file\n")
    write("empty.bin", b"")
    write("mid.bin", pattern(5000, 1))
    write("big.bin", pattern(300000, 2))
    write("max.bin", pattern(1048576 + 10, 3))
    text = b"".join(b"line %d of the packed file\n" % i for i in range(5000))
    write("data", text)
    write("data.bz2", bz2.compress(text, 9))
    write("plain.bz2", b"this file is not bzip2 data\n")
    for d, _, _ in os.walk(root):
        os.chmod(d, 0o755)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_port(port, proc, seconds=10):
    end = time.time() + seconds
    while time.time() < end:
        if proc.poll() is not None:
            return False
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def start_fileserver(root, work):
    port_file = os.path.join(work, "fileserver.port")
    proc = subprocess.Popen([sys.executable, os.path.join(SOURCE, "tools", "fileserver.py"), "--root", root,
                             "--port", "0", "--port-file", port_file,
                             "--script", os.path.join(HERE, "http_script.json")],
                            stdout=subprocess.DEVNULL)
    end = time.time() + 10
    while not os.path.exists(port_file):
        if proc.poll() is not None or time.time() > end:
            raise RuntimeError("fileserver did not start")
        time.sleep(0.02)
    with open(port_file) as f:
        return proc, int(f.read())


def start_nginx(root, work):
    if not NGINX:
        return None, None
    d = os.path.join(work, "nginx")
    os.makedirs(d)
    port = free_port()
    conf = os.path.join(d, "nginx.conf")
    with open(conf, "w") as f:
        f.write("""worker_processes 1;
master_process off;
daemon off;
error_log {d}/error.log;
pid {d}/nginx.pid;
events {{ worker_connections 256; }}
http {{
    access_log off;
    client_body_temp_path {d}/body;
    proxy_temp_path {d}/proxy;
    fastcgi_temp_path {d}/fastcgi;
    uwsgi_temp_path {d}/uwsgi;
    scgi_temp_path {d}/scgi;
    default_type application/octet-stream;
    sendfile on;
    keepalive_requests 100000;
    server {{
        listen 127.0.0.1:{port};
        root {root};
    }}
}}
""".format(d=d, port=port, root=root))
    proc = subprocess.Popen([NGINX, "-e", os.path.join(d, "error.log"), "-p", d, "-c", conf],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not wait_port(port, proc):
        stop(proc)
        sys.stderr.write("nginx did not start; its tests are skipped\n")
        return None, None
    return proc, port


def stop(proc):
    if proc is None or proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(5)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--exe", required=True)
    args, rest = ap.parse_known_args()

    work = tempfile.mkdtemp(prefix="ivl_http_")
    os.chmod(work, 0o755)
    root = os.path.join(work, "root")
    os.makedirs(root)
    servers = []
    try:
        make_files(root)
        fileserver, port = start_fileserver(root, work)
        servers.append(fileserver)
        nginx, nginx_port = start_nginx(root, work)
        servers.append(nginx)

        env = dict(os.environ)
        env["IVL_HTTP_PORT"] = str(port)
        env["IVL_HTTP_ROOT"] = windows_path(root)
        if nginx_port:
            env["IVL_NGINX_PORT"] = str(nginx_port)
        return subprocess.call(wine_command(args.build, args.exe, *rest), env=env)
    finally:
        for proc in servers:
            stop(proc)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
