#!/usr/bin/env python3
"""Scripted HTTP/1.1 file server for tests (Python 3 standard library only).

Serves the files of a folder with persistent connections and Content-Length bodies; a script
(JSON) changes the answer for single paths or path prefixes, so tests can meet chunked bodies,
redirects, missing files, bodies cut short, odd headers and slow or silent peers.

    fileserver.py --root DIR [--host 127.0.0.1] [--port 0] [--port-file F] [--script F.json]
                  [--chunked] [--chunk N]

--port 0 takes a free port; the port is written to --port-file (and to stdout) once the server
listens. Stop it with SIGTERM or SIGINT (by pid).

Script: {"paths": {"/exact/path": RULE, "/prefix/*": RULE, ...}}. A rule's keys (all optional):
  status   int, default 200          reason   text after the code
  body     text of the body          file     body from this file under the root
           (default: the file named by the request path; missing -> 404)
  transfer "length" (default), "chunked", or "none" (no length: the body ends with the close)
  chunk    chunk size for "chunked" (default 4096)
  location Location value; "{port}" and "{host}" are replaced; "" sends an empty Location
  headers  list of extra header lines
  lf       true: header lines end with LF instead of CR LF
  cut      close the connection after this many body bytes (the length header is unchanged)
  delay    seconds to wait before answering
  trickle  [bytes, seconds]: the body in pieces with a pause after each
  pause    [bytes, seconds]: the first bytes of the body, then one pause, then the rest
  silent   true: read the request and never answer (holds the connection until the peer closes)
  raw      the whole answer as text (JSON escapes); sent as it is
  close    true: close the connection after the answer
  echo     true: the body is the request as received
Built in: "/_stats" answers {"requests": {path: count}, "open": n, "max_open": n, "heads": {path:
the last request head for it}, "held": [seconds each silent answer held its connection until the
peer closed]} (JSON); "/_stats/reset" clears the counts.
"""
import argparse
import json
import os
import signal
import socket
import sys
import threading
import time

REASONS = {200: "OK", 301: "Moved Permanently", 302: "Found", 303: "See Other",
           404: "Not Found", 500: "Internal Server Error"}
MAX_HEADER = 65536


class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.requests = {}
        self.heads = {}
        self.held = []
        self.open = 0
        self.max_open = 0

    def reset(self):
        with self.lock:
            self.requests = {}
            self.heads = {}
            self.held = []
            self.max_open = self.open

    def connected(self, delta):
        with self.lock:
            self.open += delta
            self.max_open = max(self.max_open, self.open)

    def request(self, path, head):
        with self.lock:
            self.requests[path] = self.requests.get(path, 0) + 1
            self.heads[path] = head.decode("latin-1")

    def silent_held(self, seconds):
        with self.lock:
            self.held.append(seconds)

    def text(self):
        with self.lock:
            return json.dumps({"requests": self.requests, "open": self.open, "max_open": self.max_open,
                               "heads": self.heads, "held": self.held})


class Server:
    def __init__(self, args):
        self.root = os.path.abspath(args.root)
        self.host = args.host
        self.rules = {}
        self.prefixes = []
        if args.script:
            with open(args.script, encoding="utf-8") as f:
                self.rules = json.load(f).get("paths", {})
        self.prefixes = sorted((k[:-1] for k in self.rules if k.endswith("*")), key=len, reverse=True)
        self.default = {"transfer": "chunked", "chunk": args.chunk} if args.chunked else {}
        self.stats = Stats()
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((args.host, args.port))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]

    def rule_for(self, path):
        if path in self.rules:
            return self.rules[path]
        for p in self.prefixes:
            if path.startswith(p):
                return self.rules[p + "*"]
        return self.default

    def serve_forever(self):
        while True:
            conn, _ = self.listener.accept()
            threading.Thread(target=self.handle, args=(conn,), daemon=True).start()

    # ---- one connection ----

    def handle(self, conn):
        self.stats.connected(1)
        try:
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            pending = b""
            while True:
                request, pending = read_request(conn, pending)
                if request is None:
                    return
                if not self.answer(conn, request):
                    return
        except OSError:
            pass
        finally:
            self.stats.connected(-1)
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            conn.close()

    def answer(self, conn, request):
        """Sends one answer; False when the connection is to be closed."""
        lines = request.replace(b"\r\n", b"\n").split(b"\n")
        parts = lines[0].decode("latin-1").split()
        if len(parts) < 2:
            conn.sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n")
            return False
        path = parts[1].split("?", 1)[0]
        keep = not (len(parts) > 2 and parts[2] == "HTTP/1.0")
        for line in lines[1:]:
            if line.lower().startswith(b"connection:") and b"close" in line.lower():
                keep = False
        self.stats.request(path, request)

        if path == "/_stats/reset":
            self.stats.reset()
            return self.send(conn, {"body": "{}"}, path, request) and keep
        if path == "/_stats":
            return self.send(conn, {"body": self.stats.text()}, path, request) and keep
        rule = self.rule_for(path)
        return self.send(conn, rule, path, request) and keep and not rule.get("close")

    def send(self, conn, rule, path, request):
        if rule.get("delay"):
            time.sleep(float(rule["delay"]))
        if rule.get("silent"):
            start = time.monotonic()
            conn.settimeout(60)
            try:
                while conn.recv(4096):
                    pass
            except OSError:
                pass
            self.stats.silent_held(time.monotonic() - start)
            return False
        if "raw" in rule:
            conn.sendall(rule["raw"].encode("latin-1"))
            return bool(rule.get("keep"))

        status = int(rule.get("status", 200))
        body, body_file = None, None
        if rule.get("echo"):
            body = request
        elif "body" in rule:
            body = rule["body"].encode("utf-8")
        elif status in (200,) or "file" in rule:
            name = rule.get("file", path.lstrip("/"))
            full = os.path.realpath(os.path.join(self.root, name))
            if full.startswith(self.root + os.sep) and os.path.isfile(full):
                body_file = full
            else:
                status, body = 404, b"not found\n"
        else:
            body = b""

        eol = "\n" if rule.get("lf") else "\r\n"
        head = ["HTTP/1.1 %d %s" % (status, rule.get("reason", REASONS.get(status, "Status")))]
        if "location" in rule:
            head.append("Location: " + rule["location"].replace("{port}", str(self.port)).replace("{host}", self.host))
        head.extend(rule.get("headers", []))
        size = os.path.getsize(body_file) if body_file else len(body)
        transfer = rule.get("transfer", "length")
        if transfer == "length":
            head.append("Content-Length: %d" % size)
        elif transfer == "chunked":
            head.append("Transfer-Encoding: chunked")
        conn.sendall((eol.join(head) + eol + eol).encode("latin-1"))

        cut = rule.get("cut")
        limit = size if cut is None else min(size, int(cut))
        if transfer == "chunked":
            self.send_chunked(conn, body, body_file, int(rule.get("chunk", 4096)), limit)
        elif rule.get("pause"):
            first, pause = min(int(rule["pause"][0]), limit), float(rule["pause"][1])
            conn.sendall(read_range(body, body_file, 0, first))
            time.sleep(pause)
            conn.sendall(read_range(body, body_file, first, limit - first))
        elif rule.get("trickle"):
            piece, pause = rule["trickle"]
            for off in range(0, limit, int(piece)):
                conn.sendall(read_range(body, body_file, off, min(int(piece), limit - off)))
                time.sleep(float(pause))
        elif body_file:
            with open(body_file, "rb") as f:
                if limit:
                    conn.sendfile(f, 0, limit)
        else:
            conn.sendall(body[:limit])
        if cut is not None or transfer == "none":
            return False
        return True

    def send_chunked(self, conn, body, body_file, chunk, limit):
        off = 0
        while off < limit:
            n = min(chunk, limit - off)
            data = read_range(body, body_file, off, n)
            conn.sendall(b"%x\r\n" % n + data + b"\r\n")
            off += n
        if limit == (os.path.getsize(body_file) if body_file else len(body)):
            conn.sendall(b"0\r\n\r\n")


def read_range(body, body_file, off, n):
    if body_file:
        with open(body_file, "rb") as f:
            f.seek(off)
            return f.read(n)
    return body[off:off + n]


def read_request(conn, pending):
    """One request head (up to the blank line) and the bytes after it; None at the end."""
    data = pending
    while True:
        for sep in (b"\r\n\r\n", b"\n\n"):
            i = data.find(sep)
            if i >= 0:
                return data[:i + len(sep)], data[i + len(sep):]
        if len(data) > MAX_HEADER:
            return None, b""
        chunk = conn.recv(4096)
        if not chunk:
            return None, b""
        data += chunk


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--root", required=True)
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--port-file")
    ap.add_argument("--script")
    ap.add_argument("--chunked", action="store_true", help="serve every file with chunked coding")
    ap.add_argument("--chunk", type=int, default=4096)
    args = ap.parse_args()

    server = Server(args)
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    signal.signal(signal.SIGINT, lambda *_: os._exit(0))
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % server.port)
        os.replace(tmp, args.port_file)
    print(server.port, flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
